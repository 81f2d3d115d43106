# Installation of the documentation and deployment files, the stripped size
# of the daemon, and the checks of the documentation and the demo.
# Included at the end of the top-level CMakeLists.txt.

set(NORVALE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# ---- Installation ---------------------------------------------------------
# The daemon itself goes to sbin (top-level CMakeLists.txt). The manual page
# and the Debian changelog are installed compressed, as Debian keeps them. The
# sample settings and the rsyslog snippet are examples only: rsyslog starts
# the daemon from the snippet, so it goes to /etc/rsyslog.d only on the
# router, where the administrator copies it.
set(norvale_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/norvale-eventd)
foreach(doc doc/norvale-eventd.8 deploy/debian/changelog)
  get_filename_component(doc_name ${doc} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${doc_name}.gz
    COMMAND gzip -9n -c ${NORVALE_SOURCE_DIR}/${doc} > ${CMAKE_BINARY_DIR}/${doc_name}.gz
    DEPENDS ${NORVALE_SOURCE_DIR}/${doc})
  list(APPEND norvale_compressed_docs ${CMAKE_BINARY_DIR}/${doc_name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${norvale_compressed_docs})
install(FILES ${CMAKE_BINARY_DIR}/norvale-eventd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${NORVALE_SOURCE_DIR}/deploy/debian/copyright
        DESTINATION ${norvale_docdir})
install(FILES ${NORVALE_SOURCE_DIR}/deploy/settings.sample DESTINATION ${norvale_docdir}/examples)

# The snippet names the daemon by its installed path. The prefix is known
# for certain only when installing (cmake --install --prefix, CPack's own
# /usr), so the snippet is made from its template then, and again at
# configure time for the configured prefix, for a look in the build folder.
set(NORVALE_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_SBINDIR}/norvale-eventd)
configure_file(${NORVALE_SOURCE_DIR}/deploy/rsyslog/norvale-eventd.conf.in
               ${CMAKE_BINARY_DIR}/norvale-eventd.conf @ONLY)
install(CODE "
  set(NORVALE_INSTALLED_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/norvale-eventd\")
  configure_file(\"${NORVALE_SOURCE_DIR}/deploy/rsyslog/norvale-eventd.conf.in\"
                 \"${CMAKE_BINARY_DIR}/installed/norvale-eventd.conf\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/installed/norvale-eventd.conf DESTINATION ${norvale_docdir}/examples)

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
  set_tests_properties(doc_manual_page_renders_without_warnings
                       doc_settings_sample_uses_only_documented_keys
                       doc_manual_page_lists_every_logged_message
                       install_puts_every_file_in_place PROPERTIES LABELS unit)
  # The demo's story, without pauses: every notification must arrive.
  # (tests/e2e/test_rsyslog.py is registered with the other e2e tests.)
  add_test(NAME e2e_demo_check
           COMMAND ${PYTHON3} ${NORVALE_SOURCE_DIR}/tools/demo/story.py --check
                   --daemon $<TARGET_FILE:norvale-eventd>)
  set_tests_properties(e2e_demo_check PROPERTIES
    LABELS e2e TIMEOUT 180 SKIP_RETURN_CODE 77
    ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;NO_COLOR=1")
endif()
