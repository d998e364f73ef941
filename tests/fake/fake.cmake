# The test support (calling the exports, the reference HMAC) and the scripted platform: the
# core on the real text conversions, everything else scripted. Included by the tests and by
# the fuzz targets, in their scope.
set(_fake_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(halvane_test_support STATIC ${_fake_dir}/../support/export_call.cpp ${_fake_dir}/reference_hmac.cpp)
target_include_directories(halvane_test_support PUBLIC ${_fake_dir}/../support ${_fake_dir}
                           ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/tools)
target_compile_definitions(halvane_test_support PRIVATE HALVANE_TEST_SIGNING_KEY="${_halvane_key}")
halvane_warnings(halvane_test_support)

add_library(halvane_fake STATIC
  $<TARGET_OBJECTS:halvane_core>
  $<TARGET_OBJECTS:halvane_platform_text>
  ${_fake_dir}/fake_platform.cpp)
target_include_directories(halvane_fake PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include ${_fake_dir})
target_link_libraries(halvane_fake PUBLIC halvane_test_support)
halvane_warnings(halvane_fake)
