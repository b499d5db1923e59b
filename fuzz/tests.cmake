# The fuzz targets as ordinary tests: each one built with the project's compiler and
# flags against fuzz/regression_main.cpp instead of libFuzzer, and run on its
# regression inputs (fuzz/regressions/<target>/) and its seed corpus
# (fuzz/corpus/<target>/). Include it from the top-level CMakeLists.txt after the
# tests (whose support library the targets share) and enable_testing():
#   include(fuzz/tests.cmake)
if(NOT TARGET dem_varnel_test_support)
  message(FATAL_ERROR "fuzz/tests.cmake needs the dem_varnel_test_support target: include it after add_subdirectory(tests)")
endif()

set(_dem_varnel_fuzz_dir "${CMAKE_CURRENT_LIST_DIR}")
foreach(_target fuzz_ascii_grid fuzz_descriptor fuzz_dialogue)
  add_executable(${_target}_regression
    "${_dem_varnel_fuzz_dir}/${_target}.cpp"
    "${_dem_varnel_fuzz_dir}/harness.cpp"
    "${_dem_varnel_fuzz_dir}/regression_main.cpp")
  target_link_libraries(${_target}_regression PRIVATE dem_varnel_test_support)
  target_compile_options(${_target}_regression PRIVATE ${DEM_VARNEL_FLAGS})
  add_test(NAME ${_target}_regression
           COMMAND ${_target}_regression
                   "${_dem_varnel_fuzz_dir}/regressions/${_target}"
                   "${_dem_varnel_fuzz_dir}/corpus/${_target}")
  # Each test lays its private image root under the build tree.
  set_tests_properties(${_target}_regression PROPERTIES
    ENVIRONMENT "TMPDIR=${CMAKE_CURRENT_BINARY_DIR}"
    TIMEOUT 600)
endforeach()
unset(_target)
