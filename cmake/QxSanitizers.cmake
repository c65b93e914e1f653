# QX_SANITIZE=address,undefined or thread: instrument every target of the build.
if(QX_SANITIZE)
  set(_qx_san_flags -fsanitize=${QX_SANITIZE} -fno-omit-frame-pointer)
  if(QX_SANITIZE MATCHES "undefined")
    list(APPEND _qx_san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_qx_san_flags})
  add_compile_definitions(QX_SANITIZED_BUILD)
  add_link_options(-fsanitize=${QX_SANITIZE})
endif()
# Sanitized test binaries are listed when ctest runs them, not at build time (ThreadSanitizer
# needs the address-space layout the test runner sets up).
if(QX_SANITIZE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
