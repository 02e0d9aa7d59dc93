# The series soak: many burns in a row on the station window over an isolated
# pcscd with the virtual token (tests/bench/series_soak.sh runs 500). Its short
# run of 20 burns is also a test, on a stack of its own.
if(TARGET ui)
  add_executable(series_soak ${CMAKE_CURRENT_LIST_DIR}/series_soak.cpp)
  target_link_libraries(series_soak PRIVATE ui Qt6::Test)
  if(TARGET virtual-token AND TARGET pcscd-socket-launch)
    set(SOAK_STACK_DIR ${CMAKE_CURRENT_BINARY_DIR}/soak-stack)
    set(SOAK_STACK_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/pcsc-stack.sh)
    add_test(NAME soak_stack_start COMMAND bash ${SOAK_STACK_SCRIPT} start ${SOAK_STACK_DIR} -- --serial ZZSOAK0000)
    set_tests_properties(soak_stack_start PROPERTIES FIXTURES_SETUP soak_stack
      ENVIRONMENT "VIRTUAL_TOKEN=$<TARGET_FILE:virtual-token>;PCSCD_SOCKET_LAUNCH=$<TARGET_FILE:pcscd-socket-launch>")
    add_test(NAME soak_stack_stop COMMAND bash ${SOAK_STACK_SCRIPT} stop ${SOAK_STACK_DIR})
    set_tests_properties(soak_stack_stop PROPERTIES FIXTURES_CLEANUP soak_stack)
    add_test(NAME series_soak_short COMMAND series_soak 20)
    set_tests_properties(series_soak_short PROPERTIES FIXTURES_REQUIRED soak_stack TIMEOUT 300
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PCSCLITE_CSOCK_NAME=${SOAK_STACK_DIR}/run/pcscd.comm;ZZ_VTOKEN_CONTROL=${SOAK_STACK_DIR}/control")
  endif()
endif()
