# The trainer's test needs XGBoost itself to compare against.
if(TARGET tests_tools AND TARGET kav_trainer)
  target_link_libraries(tests_tools PRIVATE kav_trainer)
endif()
