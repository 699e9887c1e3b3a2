# Checks KELP_SERVICE_ORIGIN and sets KELP_SERVICE_ORIGIN_NORMALISED. The project includes it; it
# also runs on its own (cmake -DKELP_SERVICE_ORIGIN=... -P KelpServiceOrigin.cmake), which is how
# its test drives it.

# Service paths are appended to the origin, so a trailing slash would give "//api/...".
string(REGEX REPLACE "/+$" "" KELP_SERVICE_ORIGIN_NORMALISED "${KELP_SERVICE_ORIGIN}")
if(NOT KELP_SERVICE_ORIGIN_NORMALISED MATCHES "^https?://[^/]+$")
  message(FATAL_ERROR "KELP_SERVICE_ORIGIN must be scheme://host[:port], got '${KELP_SERVICE_ORIGIN}'")
endif()
# Every request carries the device token, so plain http is only for a service on this machine (the
# simulator and the tests).
if(KELP_SERVICE_ORIGIN_NORMALISED MATCHES "^http://"
    AND NOT KELP_SERVICE_ORIGIN_NORMALISED MATCHES "^http://(127\\.0\\.0\\.1|\\[::1\\]|localhost)(:[0-9]+)?$")
  message(FATAL_ERROR "KELP_SERVICE_ORIGIN '${KELP_SERVICE_ORIGIN}' would send the device token in clear: "
    "use https://, or http:// only with a loopback host (127.0.0.1, [::1], localhost)")
endif()
