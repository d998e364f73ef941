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

# A proxy that demands a password the module never has (tinyproxy's BasicAuth): the trace
# names the proxy's refusal. Wine's WinHTTP reads the refusal as a failed TLS set-up (12157).
if(CMAKE_CROSSCOMPILING)
  set(_proxy_refusal "WinHttpSendRequest FAILED, GetLastError = 12157")
  set(_traced_cli ${_halvane_run} $<TARGET_FILE:halvane-cli>)
elseif(TARGET dev_log_present)
  set(_proxy_refusal "the proxy refused the tunnel: HTTP 407")
  set(_traced_cli env LD_PRELOAD=$<TARGET_FILE:dev_log_present> $<TARGET_FILE:halvane-cli>)
endif()
if(_proxy_refusal)
  halvane_port_test(e2e_proxy_auth COMMAND ${_with_service} --script ${_e2e_cases} --
                    ${_with_proxy} --mode ${_proxy_mode} --setting auth-proxy --expect-output ${_proxy_refusal}
                    -- ${_traced_cli} --trace status --key ok --account 1)
endif()
