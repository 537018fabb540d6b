# Adds every direct subfolder that has a CMakeLists.txt, in name order, so that
# each module owns its own build file.
# VELUNDA_SKIP_DIRS: folder names to leave out (a developer's partial build).
function(velunda_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(child IN_LIST VELUNDA_SKIP_DIRS)
      continue()
    endif()
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
