# libFuzzer targets (clang only): cmake -DNORVALE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++.
# Everything is built with the fuzzer's coverage and with AddressSanitizer and
# UndefinedBehaviorSanitizer. Each target is tests/fuzz/NAME_fuzz.cc, linked
# with the library it exercises; its seed inputs are tests/fuzz/seeds/NAME/.
# scripts/run-fuzz runs every target that has a seed folder.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "NORVALE_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
endif()

# Each target's seeds are also a quick test (ctest -L fuzz): given files
# rather than a folder, a libFuzzer binary runs exactly those inputs once and
# exits, failing on a crash, a sanitizer report or a broken property.
enable_testing()

function(norvale_fuzz_target name library)
  add_executable(${name}_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/${name}_fuzz.cc)
  target_link_libraries(${name}_fuzz PRIVATE ${library})
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  file(GLOB seeds CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/fuzz/seeds/${name}/*)
  if(seeds)
    add_test(NAME fuzz_${name}_seeds COMMAND ${name}_fuzz ${seeds})
    set_tests_properties(fuzz_${name}_seeds PROPERTIES LABELS fuzz TIMEOUT 120)
  endif()
endfunction()

norvale_fuzz_target(route_table norvale_net)
norvale_fuzz_target(uptime norvale_sources)
norvale_fuzz_target(boot_file norvale_sources)
norvale_fuzz_target(sms_command norvale_notify)
norvale_fuzz_target(mail_command norvale_notify)
norvale_fuzz_target(snmp_command norvale_notify)
norvale_fuzz_target(settings_file norvale_config)
norvale_fuzz_target(log_lines norvale_sources)
norvale_fuzz_target(state_file norvale_core)
