# The session's proxy choice through a real proxy (tinyproxy): one exchange per setting of
# the current user's proxy settings. Included from tests/CMakeLists.txt.
set(_with_proxy ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/with_proxy.py)
set(_proxy_exchange ${_halvane_run} $<TARGET_FILE:transport_e2e_tests> --gtest_filter=TransportTrace.*)

# test name suffix, then the setting
if(CMAKE_CROSSCOMPILING)
  set(_proxy_mode windows --wine-run ${_halvane_run})
  set(_proxy_cases named proxy bypass proxy-bypass autodetect autodetect pac pac none none dead dead-proxy)
else()
  # The environment has no automatic-detection or auto-configuration setting.
  set(_proxy_mode posix)
  set(_proxy_cases named proxy bypass proxy-bypass none none dead dead-proxy)
endif()

while(_proxy_cases)
  list(POP_FRONT _proxy_cases _name _setting)
  set(_expect "")
  if(_setting STREQUAL "dead-proxy")
    set(_expect --expect-output NETWORK_ERROR)
  endif()
  halvane_port_test(e2e_proxy_${_name} COMMAND ${_with_service} --script ${_e2e_cases} --
                    ${_with_proxy} --mode ${_proxy_mode} --setting ${_setting} ${_expect} -- ${_proxy_exchange})
endwhile()
