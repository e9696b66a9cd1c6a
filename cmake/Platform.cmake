# UF_PLATFORM names the backend files a folder compiles: foo_${UF_PLATFORM}.cpp.
if(WIN32)
  set(UF_PLATFORM win32)
else()
  set(UF_PLATFORM posix)
  # The native window backend is FLTK, not plain POSIX.
endif()
if(WIN32)
  set(UF_UI_BACKEND win32)
else()
  set(UF_UI_BACKEND fltk)
endif()

if(WIN32)
  # One self-contained executable: no MinGW runtime DLLs beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
