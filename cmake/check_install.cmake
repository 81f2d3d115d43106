# cmake -DBUILD_DIR=... -DPREFIX=... -P check_install.cmake: installs the
# build into PREFIX and checks that every installed file is there.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
set(doc share/doc/norvale-eventd)
foreach(f sbin/norvale-eventd share/man/man8/norvale-eventd.8.gz ${doc}/copyright ${doc}/changelog.gz
          ${doc}/examples/settings.sample ${doc}/examples/norvale-eventd.conf)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}\n${out}")
  endif()
endforeach()
if(NOT IS_DIRECTORY "${PREFIX}/sbin" OR IS_SYMLINK "${PREFIX}/sbin/norvale-eventd")
  message(FATAL_ERROR "sbin/norvale-eventd is no file")
endif()
execute_process(COMMAND "${PREFIX}/sbin/norvale-eventd" --help RESULT_VARIABLE result OUTPUT_VARIABLE usage)
if(NOT result EQUAL 0 OR NOT usage MATCHES "^Usage:\n")
  message(FATAL_ERROR "the installed daemon does not run: ${result} ${usage}")
endif()
# The rsyslog snippet starts the daemon where this installation put it, in
# the mode that answers rsyslog's confirmations.
file(STRINGS "${PREFIX}/${doc}/examples/norvale-eventd.conf" binary REGEX "binary=")
if(NOT binary MATCHES "binary=\"${PREFIX}/sbin/norvale-eventd --confirm\"")
  message(FATAL_ERROR "the rsyslog snippet names another daemon: ${binary}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
