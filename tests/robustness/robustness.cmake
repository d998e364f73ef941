# Robustness: hostile peers on the real transports, many threads and resource growth,
# memory running out, bad input through the exports, and memcheck. Included from
# tests/CMakeLists.txt, in its scope. Every test is named robustness_* and labelled
# robustness; `ctest -R robustness` runs them all.
set(_robustness_dir ${CMAKE_CURRENT_LIST_DIR})

add_library(halvane_robustness_support STATIC ${_robustness_dir}/process_usage.cpp)
target_include_directories(halvane_robustness_support PUBLIC ${_robustness_dir})
if(WIN32)
  target_link_libraries(halvane_robustness_support PUBLIC psapi)
endif()
halvane_warnings(halvane_robustness_support)

# ---- Hostile and broken peers on the compiled-in service port ----
# The support libraries call the exports: they come before the module.
halvane_test_executable(robustness_hostile ${_robustness_dir}/hostile_test.cpp
                        LIBS halvane_test_support halvane_e2e_support halvane_robustness_support halvane_real
                        GTest::gtest_main)

# name, gtest filter, then the modes the peer serves, in the order the test calls them;
# ONE_THREAD first: on Windows, also that only the threads that send requests set timeouts;
# PROGRAM: another test program than robustness_hostile.
function(halvane_hostile name filter)
  cmake_parse_arguments(PARSE_ARGV 2 _hostile "ONE_THREAD" "PROGRAM" "")
  set(_program robustness_hostile ${_hostile_PROGRAM})
  list(GET _program -1 _program)
  list(JOIN _hostile_UNPARSED_ARGUMENTS "," _modes)
  set(_options "")
  if(_hostile_ONE_THREAD AND WIN32)
    set(_options --one-thread)
  endif()
  halvane_port_test(${name} LABELS robustness TIMEOUT 300 COMMAND
                    ${Python3_EXECUTABLE} ${_robustness_dir}/hostile_peer.py --modes ${_modes} ${_options}
                    --port ${HALVANE_SERVICE_PORT} --certs ${HALVANE_CERTS_DIR} --
                    ${_halvane_run} $<TARGET_FILE:${_program}> --gtest_filter=${filter})
  # A program that Wine ends at an unhandled fault may still exit with 0.
  set_tests_properties(${name} PROPERTIES FAIL_REGULAR_EXPRESSION "wine: Unhandled;\\[  FAILED  \\]")
endfunction()

# One call after another: wrong peers, wrong certificates and versions, redirects, cut replies.
halvane_hostile(robustness_hostile_quick "Hostile.TransportAndExports"
                forged plain hangup cert_not_yet_valid cert_leaf_issuer cert_client_only missing_intermediate
                tls10 tls11 tls13_only
                weak_sha1_leaf weak_rsa1024_leaf weak_sha1_intermediate weak_dhe1024 weak_rsa_kx sha1_root
                cut_abrupt cut_clean cut_fin_length cut_rst_length cut_fin_chunked cut_rst_chunked cut_fin_close
                redirect302 redirect307 redirect_http)
# Endless and oversized replies, each call's peak memory measured (after a warm-up on the
# first mode), then peers that hold the call: those calls wait side by side for their
# deadline (20 s). The redirect chain comes last: its hops are the only handshakes made while
# the others wait.
set(_flowing endless_header_line endless_chunk_extension many_header_lines endless_continue endless_head)
if(CMAKE_CROSSCOMPILING)
  # Input that keeps flowing inside one WinHTTP operation: each call alone, held to its deadline
  # (Wine reads on after the call until the peer stops; the endless head, the longest, last).
  halvane_hostile(robustness_hostile_flowing "Hostile.TransportAndExports" forged ${_flowing})
  set_tests_properties(robustness_hostile_flowing PROPERTIES LABELS "robustness;slow")
  set(_flowing "")
endif()
halvane_hostile(robustness_hostile_bounded "Hostile.BoundedInTimeAndMemory"
                forged huge ${_flowing} endless_body endless_trailers gzip_bomb
                many_chunks limit_length limit_length_over silent trickle_head trickle_body slow_continue
                cut_stall_length cut_stall_chunked coincide slow_redirects)
if(NOT CMAKE_CROSSCOMPILING)
  # The trust floor holds under a host policy lowered to security level 0 too.
  halvane_hostile(robustness_hostile_floor_lowered "Hostile.TransportAndExports"
                  weak_sha1_leaf weak_rsa1024_leaf weak_sha1_intermediate weak_dhe1024 weak_rsa_kx sha1_root)
  set_tests_properties(robustness_hostile_floor_lowered PROPERTIES
                       ENVIRONMENT OPENSSL_CONF=${_robustness_dir}/lowered_policy.cnf)
endif()
# Trickles that fall silent at moments chosen against the deadline keeper's, one at a time,
# after a forged reply: the process's first handshake (its TLS set-up, slow on loaded cores)
# is not inside a timed row. Two programs, each call alone in its own (they wait in silence).
halvane_hostile(robustness_hostile_exact_head "Hostile.TransportAndExports" ONE_THREAD forged quiet_head_49
                quiet_head_99 quiet_head_149 quiet_head_173)
halvane_hostile(robustness_hostile_exact_body "Hostile.TransportAndExports" forged quiet_chunk_99 quiet_chunk_173
                quiet_body_99 quiet_body_173)
set_tests_properties(robustness_hostile_exact_head robustness_hostile_exact_body PROPERTIES LABELS "robustness;slow")
# Handshakes trickled through a relay, on their own: no other handshake may overlap them under Wine.
halvane_hostile(robustness_hostile_handshake "Hostile.TransportAndExports" trickle_handshake whole_bound)
set_tests_properties(robustness_hostile_bounded robustness_hostile_handshake PROPERTIES LABELS "robustness;slow")

if(WIN32)
  # A host that unloads the module right after calls that left WinHTTP work pending.
  halvane_test_executable(robustness_unload ${_robustness_dir}/unload_test.cpp LIBS GTest::gtest_main)
  target_include_directories(robustness_unload PRIVATE ${PROJECT_SOURCE_DIR}/include)
  add_dependencies(robustness_unload halvane)
  halvane_hostile(robustness_hostile_unload "Unload.*" PROGRAM robustness_unload weak_rsa1024_leaf late_close)

  # An exception inside a call, in a host that loaded the shared libgcc (and its import) first.
  halvane_test_executable(robustness_host_runtime ${_robustness_dir}/host_runtime_test.cpp
                          LIBS halvane_e2e_support GTest::gtest_main)
  target_include_directories(robustness_host_runtime PRIVATE ${PROJECT_SOURCE_DIR}/include)
  set(_libgcc libgcc_s_seh-1.dll)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_libgcc libgcc_s_dw2-1.dll)
  endif()
  target_compile_definitions(robustness_host_runtime PRIVATE HALVANE_SHARED_LIBGCC=L"${_libgcc}")
  foreach(_dll ${_libgcc} libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll} OUTPUT_VARIABLE _path
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    configure_file(${_path} ${CMAKE_BINARY_DIR}/shared-runtime/${_dll} COPYONLY)
  endforeach()
  halvane_hostile(robustness_host_runtime "HostRuntime.*" PROGRAM robustness_host_runtime many_chunks)
endif()

# ---- Many threads through the built module, then resource growth ----
find_package(Threads REQUIRED)
halvane_test_executable(robustness_concurrency ${_robustness_dir}/concurrency_test.cpp
                        LIBS halvane_test_support halvane_robustness_support halvane halvane_e2e_support
                        Threads::Threads GTest::gtest)
# The program writes the service's script from the rules it checks the results by.
set(_concurrency_cases ${CMAKE_CURRENT_BINARY_DIR}/concurrency_cases.json)
add_test(NAME robustness_concurrency_script
         COMMAND ${_isolated} ${_halvane_run} $<TARGET_FILE:robustness_concurrency> --write-script concurrency_cases.json
         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(robustness_concurrency_script PROPERTIES FIXTURES_SETUP concurrency_script
                     FIXTURES_REQUIRED "${_e2e_fixtures}" LABELS robustness)
halvane_e2e(robustness_concurrency_threads robustness_concurrency "Concurrency.MixedExports*" LABEL robustness TIMEOUT 600
            --script ${_concurrency_cases})
halvane_e2e(robustness_concurrency_growth robustness_concurrency "Concurrency.HandlesAndMemory*" LABEL robustness TIMEOUT 600
                       --script ${_concurrency_cases})
set_property(TEST robustness_concurrency_threads robustness_concurrency_growth APPEND PROPERTY
             FIXTURES_REQUIRED concurrency_script)

# ---- Memory running out at each allocation, on the scripted platform ----
halvane_add_test_program(robustness_allocation robustness ${_robustness_dir}/allocation_test.cpp
                         ${CMAKE_CURRENT_SOURCE_DIR}/support/failing_allocator.cpp
                         LIBS halvane_test_support halvane_fake GTest::gtest_main)

# The same on the real platform stack, against the scripted service.
halvane_test_executable(robustness_allocation_module ${_robustness_dir}/allocation_module_test.cpp
                        ${CMAKE_CURRENT_SOURCE_DIR}/support/failing_allocator.cpp
                        LIBS halvane_test_support halvane_real GTest::gtest_main)
target_include_directories(robustness_allocation_module PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/fake)
halvane_e2e(robustness_allocation_module robustness_allocation_module "AllocationFailureModule.*" LABEL robustness TIMEOUT 600
                       --script ${_e2e_cases})

# ---- Bad input through the exports: the scripted platform, then the built module ----
halvane_add_test_program(robustness_bad_input robustness ${_robustness_dir}/bad_input_test.cpp
                         LIBS halvane_test_support halvane_fake GTest::gtest_main)

halvane_test_executable(robustness_bad_input_module ${_robustness_dir}/bad_input_test.cpp
                        LIBS halvane_test_support halvane_e2e_support halvane GTest::gtest_main)
target_compile_definitions(robustness_bad_input_module PRIVATE HALVANE_BAD_INPUT_REAL)
halvane_e2e(robustness_bad_input_module robustness_bad_input_module "BadInput.*" LABEL robustness TIMEOUT 600
                       --script ${_robustness_dir}/bad_input_cases.json)

# ---- Memcheck over the end-to-end exports and the allocation failures (linux preset) ----
if(NOT CMAKE_CROSSCOMPILING AND NOT HALVANE_SANITIZE)
  find_program(HALVANE_VALGRIND valgrind)
  if(HALVANE_VALGRIND)
    set(_memcheck ${HALVANE_VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite
        --suppressions=${_robustness_dir}/valgrind.supp)
    block()  # the end-to-end runs of these programs, each started under memcheck
      set(_halvane_run ${_memcheck})
      halvane_e2e(robustness_valgrind_exports_scripted exports_e2e_tests "ExportsScripted.*" LABEL "robustness;valgrind"
                  TIMEOUT 600 --script ${_e2e_cases})
      halvane_e2e(robustness_valgrind_trader_day exports_e2e_tests "ExportsTraderDay.*" LABEL "robustness;valgrind"
                  TIMEOUT 600 --seed-trader day-key:1001)
      # The program's own operator new is the failing one: memcheck must leave it in place.
      list(APPEND _halvane_run --soname-synonyms=somalloc=nouserintercepts)
      halvane_e2e(robustness_valgrind_allocation_module robustness_allocation_module "AllocationFailureModule.*"
                  LABEL "robustness;valgrind" TIMEOUT 600 --script ${_e2e_cases})
      set_tests_properties(robustness_valgrind_exports_scripted robustness_valgrind_trader_day
                           robustness_valgrind_allocation_module PROPERTIES ENVIRONMENT HALVANE_TEST_WARM_UP=1)
      add_test(NAME robustness_valgrind_allocation COMMAND ${_halvane_run} $<TARGET_FILE:robustness_allocation>)
      set_tests_properties(robustness_valgrind_allocation PROPERTIES LABELS "robustness;valgrind" TIMEOUT 600)
    endblock()
  else()
    message(WARNING "valgrind not found (tools/install-deps.sh installs it): the memcheck tests are left out")
  endif()
endif()
