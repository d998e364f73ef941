# The module's only settings, compiled in: the service host and port and the signing key.
# The key is never stored whole: configure time writes a 32-byte table and a one-byte mask
# whose exclusive or gives the key back at run time.

set(HALVANE_DEVELOPMENT_KEY "5f3a9c1e7b2d4f6081a3c5e7092b4d6f8a1c3e5f7092b4d6e8f0a2c4e6081b3d")

set(HALVANE_SERVICE_HOST "localhost" CACHE STRING "Host name of the trading-discipline service")
set(HALVANE_SERVICE_PORT "443" CACHE STRING "HTTPS port of the service")
set(HALVANE_SIGNING_KEY "${HALVANE_DEVELOPMENT_KEY}" CACHE STRING "Shared reply-signing key: 64 hex digits")
set(HALVANE_CA_BUNDLE "" CACHE FILEPATH "POSIX builds: CA file to trust instead of the system store (empty: system store)")

if(NOT HALVANE_SERVICE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR "HALVANE_SERVICE_HOST must be a host name or IPv4 address, got '${HALVANE_SERVICE_HOST}'")
endif()
if(NOT HALVANE_SERVICE_PORT MATCHES "^[0-9]+$" OR HALVANE_SERVICE_PORT LESS 1 OR HALVANE_SERVICE_PORT GREATER 65535)
  message(FATAL_ERROR "HALVANE_SERVICE_PORT must be a port number from 1 to 65535, got '${HALVANE_SERVICE_PORT}'")
endif()
string(TOLOWER "${HALVANE_SIGNING_KEY}" _halvane_key)
if(NOT _halvane_key MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "HALVANE_SIGNING_KEY must be 64 hexadecimal digits")
endif()
string(LENGTH "${_halvane_key}" _halvane_key_length)
if(NOT _halvane_key_length EQUAL 64)
  message(FATAL_ERROR "HALVANE_SIGNING_KEY must be 64 hexadecimal digits (32 bytes), got ${_halvane_key_length}")
endif()
if(_halvane_key STREQUAL HALVANE_DEVELOPMENT_KEY)
  set(HALVANE_USES_DEVELOPMENT_KEY ON)
  set(HALVANE_DEVELOPMENT_KEY_NOTE "Development key: for testing only, anyone can sign replies for it")
  message(WARNING "halvane: HALVANE_SIGNING_KEY is the public development key. "
                  "Anyone can sign replies with it: never ship a build made with it.")
else()
  set(HALVANE_USES_DEVELOPMENT_KEY OFF)
endif()

# The mask comes from a hash of the key, so that a build is reproducible; it is never 0, so
# the table never equals the key.
string(SHA256 _halvane_hash "halvane key mask ${_halvane_key}")
string(SUBSTRING "${_halvane_hash}" 0 2 _halvane_mask)
if(_halvane_mask STREQUAL "00")
  set(_halvane_mask "a5")
endif()
set(_halvane_table "")
foreach(_i RANGE 0 31)
  math(EXPR _at "${_i} * 2")
  string(SUBSTRING "${_halvane_key}" ${_at} 2 _byte)
  math(EXPR _stored "0x${_byte} ^ 0x${_halvane_mask}" OUTPUT_FORMAT HEXADECIMAL)
  string(APPEND _halvane_table "${_stored}, ")
endforeach()

set(HALVANE_SETTINGS_SOURCE "${CMAKE_BINARY_DIR}/generated/service_settings.cpp")
file(CONFIGURE OUTPUT "${HALVANE_SETTINGS_SOURCE}" CONTENT [=[
// Generated at configure time from HALVANE_SERVICE_HOST, HALVANE_SERVICE_PORT and
// HALVANE_SIGNING_KEY. Do not edit.
#include "core/key_material.h"
#include "core/transport.h"

namespace halvane {

const char16_t kServiceHost[] = u"@HALVANE_SERVICE_HOST@";
const uint16_t kServicePort = @HALVANE_SERVICE_PORT@;

const uint8_t kSignatureKeyTable[32] = {@_halvane_table@};
const volatile uint8_t kSignatureKeyMask = 0x@_halvane_mask@;

}  // namespace halvane
]=] @ONLY)
