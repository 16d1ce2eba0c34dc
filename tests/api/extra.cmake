# The web page end to end: the real program in --browser mode, driven in the
# system's Chromium through playwright-core (tools/npm, installed by
# tools/install-deps.sh).
find_program(KAV_NODE node)
if(KAV_NODE)
  add_test(NAME api_browser_e2e
           COMMAND ${KAV_NODE} ${CMAKE_CURRENT_SOURCE_DIR}/api/browser_e2e.mjs $<TARGET_FILE:keltharon-antivirus>)
  set_tests_properties(api_browser_e2e PROPERTIES TIMEOUT 240)
endif()
