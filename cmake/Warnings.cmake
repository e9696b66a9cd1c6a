# Every target of ours gets the same warnings; call uf_warnings(target).
function(uf_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Adds every direct child folder of DIR that has a CMakeLists.txt, so that a
# new tool or test area needs no edit of a shared list.
function(uf_add_subdirectories dir)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()
