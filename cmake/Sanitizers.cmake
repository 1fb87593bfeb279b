# The test build runs every suite under AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails the run (halt_on_error is set by the test harness).
if(TESSARO_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(tessaro_options INTERFACE ${_san})
  target_link_options(tessaro_options INTERFACE ${_san})
endif()
