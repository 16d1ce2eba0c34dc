# Runs one libFuzzer target for SECONDS over a working corpus seeded from SEEDS.
file(MAKE_DIRECTORY ${CORPUS})
if(EXISTS ${SEEDS})
  file(GLOB seed_files ${SEEDS}/*)
  if(seed_files)
    file(COPY ${seed_files} DESTINATION ${CORPUS})
  endif()
endif()
# Crash, leak and slow-input files go beside the working corpus, never into
# the directory ctest happens to run from.
get_filename_component(artifacts ${CORPUS} DIRECTORY)
execute_process(COMMAND ${FUZZER} -artifact_prefix=${artifacts}/ -max_total_time=${SECONDS} -rss_limit_mb=2560 -timeout=10 -print_final_stats=1 ${CORPUS}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "fuzzer ${FUZZER} failed with ${rc}")
endif()
