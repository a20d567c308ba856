# Adds fuzz/ and tests/robustness/ to a build whose top-level CMakeLists.txt
# does not add them itself (scripts/fuzz, local builds):
#   cmake -S . -B build-x -DCMAKE_PROJECT_Tervane_INCLUDE=$PWD/fuzz/attach.cmake
# Their CMakeLists.txt files are read once the top-level file has been, so
# the libraries and tervane_test() they use exist by then. (A deferred call
# may not add a sub-directory, so they are included; they name their
# sources from CMAKE_CURRENT_LIST_DIR for that reason.)
file(READ "${CMAKE_SOURCE_DIR}/CMakeLists.txt" tervane_top_level)
foreach(tervane_folder fuzz tests/robustness)
  string(FIND "${tervane_top_level}" "add_subdirectory(${tervane_folder})" tervane_at)
  if(tervane_at EQUAL -1 AND EXISTS "${CMAKE_SOURCE_DIR}/${tervane_folder}/CMakeLists.txt")
    # Deferred arguments are read when the call runs; EVAL fixes them now.
    cmake_language(EVAL CODE
      "cmake_language(DEFER DIRECTORY \"${CMAKE_SOURCE_DIR}\" CALL include
         \"${CMAKE_SOURCE_DIR}/${tervane_folder}/CMakeLists.txt\")")
  endif()
endforeach()
