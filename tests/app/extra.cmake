# A test copy of the program whose maintenance timings the tests can shorten.
add_executable(keltharon-antivirus-seamed ${CMAKE_SOURCE_DIR}/app/main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/app/seamed_main.cpp)
target_compile_definitions(keltharon-antivirus-seamed PRIVATE main=kav_program_main)
target_link_libraries(keltharon-antivirus-seamed PRIVATE kav)
set_target_properties(keltharon-antivirus-seamed PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(TARGET tests_app)
  add_dependencies(tests_app keltharon-antivirus-seamed)
  target_compile_definitions(tests_app PRIVATE KAV_SEAMED_EXE="$<TARGET_FILE:keltharon-antivirus-seamed>")
endif()
