# Installation of the documentation and deployment files, the stripped size
# of the daemon, and the checks of the documentation and the demo.
# Included at the end of the top-level CMakeLists.txt.

include(GNUInstallDirs)

set(NORVALE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# ---- Installation ---------------------------------------------------------
# The daemon itself goes to sbin (top-level CMakeLists.txt). With the prefix
# /usr the rsyslog snippet goes to /etc/rsyslog.d, where rsyslog looks;
# under any other prefix to PREFIX/etc/rsyslog.d.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(norvale_sysconfdir ${CMAKE_INSTALL_FULL_SYSCONFDIR})
else()
  set(norvale_sysconfdir ${CMAKE_INSTALL_SYSCONFDIR})
endif()
install(FILES ${NORVALE_SOURCE_DIR}/doc/norvale-eventd.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${NORVALE_SOURCE_DIR}/deploy/settings.sample
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/norvale-eventd)
install(FILES ${NORVALE_SOURCE_DIR}/deploy/rsyslog/norvale-eventd.conf
        DESTINATION ${norvale_sysconfdir}/rsyslog.d)

# ---- What goes onto the router --------------------------------------------
# A stripped copy beside the daemon, and its size: the figure that matters
# on the router's flash.
if(CMAKE_STRIP)
  add_custom_command(TARGET norvale-eventd POST_BUILD
    COMMAND ${CMAKE_STRIP} -o $<TARGET_FILE:norvale-eventd>.stripped $<TARGET_FILE:norvale-eventd>
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:norvale-eventd>.stripped
            -P ${CMAKE_CURRENT_LIST_DIR}/print_size.cmake
    VERBATIM)
else()
  message(STATUS "no strip tool found: norvale-eventd.stripped is not made")
endif()

# ---- Checks ---------------------------------------------------------------
if(NORVALE_TESTS)
  find_program(GROFF groff)
  find_program(PYTHON3 python3)
  # groff prints every warning on the manual page; a clean page prints nothing.
  add_test(NAME doc_manual_page_renders_without_warnings
           COMMAND sh -c "\"$1\" -ww -man -Tutf8 \"$2\" >/dev/null" sh
                   ${GROFF} ${NORVALE_SOURCE_DIR}/doc/norvale-eventd.8)
  set_tests_properties(doc_manual_page_renders_without_warnings PROPERTIES
    FAIL_REGULAR_EXPRESSION ".")
  add_test(NAME doc_settings_sample_uses_only_documented_keys
           COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/check_settings_sample.py
                   ${NORVALE_SOURCE_DIR}/deploy/settings.sample
                   ${NORVALE_SOURCE_DIR}/doc/norvale-eventd.8)
  add_test(NAME doc_manual_page_lists_every_logged_message
           COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/check_messages.py
                   ${NORVALE_SOURCE_DIR} ${NORVALE_SOURCE_DIR}/doc/norvale-eventd.8)
  add_test(NAME install_puts_every_file_in_place
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DPREFIX=${CMAKE_BINARY_DIR}/install-check
                   -P ${CMAKE_CURRENT_LIST_DIR}/check_install.cmake)
  # The demo's story, without pauses: every notification must arrive.
  # (tests/e2e/test_rsyslog.py is registered with the other e2e tests.)
  add_test(NAME e2e_demo_check
           COMMAND ${PYTHON3} ${NORVALE_SOURCE_DIR}/tools/demo/story.py --check
                   --daemon $<TARGET_FILE:norvale-eventd>)
  set_tests_properties(e2e_demo_check PROPERTIES
    LABELS e2e RESOURCE_LOCK router TIMEOUT 180
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;NO_COLOR=1")
endif()
