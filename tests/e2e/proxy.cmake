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

# A proxy that demands a password (tinyproxy's BasicAuth): the trace names its refusal; Wine's
# WinHTTP takes it for a failed TLS set-up. The POSIX trace needs a syslog socket.
set(_refusal "the proxy refused the tunnel: HTTP 407" env LD_PRELOAD=$<TARGET_FILE:dev_log_present>)
if(CMAKE_CROSSCOMPILING)
  set(_refusal "GetLastError = 12157" ${_halvane_run})
endif()
if(CMAKE_CROSSCOMPILING OR TARGET dev_log_present)
  list(POP_FRONT _refusal _text)
  halvane_port_test(e2e_proxy_auth COMMAND ${_with_service} --script ${_e2e_cases} -- ${_with_proxy}
                    --mode ${_proxy_mode} --setting auth-proxy --expect-output ${_text} --
                    ${_refusal} $<TARGET_FILE:halvane-cli> --trace status --key ok --account 1)
endif()
