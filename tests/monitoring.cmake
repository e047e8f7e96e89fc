# The alert rules shipped for Prometheus (service/prometheus-alerts.yml), checked
# and unit-tested with Prometheus's own promtool (Debian's prometheus package).
# They do not depend on the build: the unsanitized native Linux build checks them.
if(CMAKE_CROSSCOMPILING OR CMAKE_CXX_FLAGS MATCHES "sanitize")
  return()
endif()
find_program(QOR_PROMTOOL promtool)
if(NOT QOR_PROMTOOL)
  # Left to fail when run, naming what is missing: scripts/setup-debian.sh installs it.
  set(QOR_PROMTOOL promtool)
endif()
add_test(NAME promtool.check_rules COMMAND ${QOR_PROMTOOL} check rules ${PROJECT_SOURCE_DIR}/service/prometheus-alerts.yml)
add_test(NAME promtool.test_rules
         COMMAND ${QOR_PROMTOOL} test rules ${CMAKE_CURRENT_SOURCE_DIR}/monitoring/prometheus-alerts_test.yml)
set_tests_properties(promtool.check_rules promtool.test_rules PROPERTIES LABELS monitoring)
