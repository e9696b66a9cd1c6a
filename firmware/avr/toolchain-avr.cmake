# Cross-compiling for the ATmega328P at 16 MHz with avr-gcc and avr-libc.
# Used by the firmware's own build (cmake/Firmware.cmake starts it as an
# external project), so the host programs keep their compiler and flags.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR avr)

find_program(UF_AVR_GCC avr-gcc REQUIRED)
find_program(UF_AVR_OBJCOPY avr-objcopy REQUIRED)
find_program(UF_AVR_SIZE avr-size REQUIRED)
set(CMAKE_C_COMPILER ${UF_AVR_GCC})

set(UF_AVR_MCU atmega328p)
set(CMAKE_C_FLAGS_INIT "-mmcu=${UF_AVR_MCU} -DF_CPU=16000000UL -Os")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mmcu=${UF_AVR_MCU}")
# Without an operating system there is nothing to link a test program
# against; a library is enough to know the compiler works.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
