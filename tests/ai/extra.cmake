# The converter test runs the model-converter tool.
if(TARGET tests_ai)
  add_dependencies(tests_ai model-converter)
  target_compile_definitions(tests_ai PRIVATE KAV_MODEL_CONVERTER="$<TARGET_FILE:model-converter>")
endif()
