# ThreadSanitizer for the program and its tests (ROUSEL_TSAN; the tsan
# preset and scripts/tsan.sh).  It cannot be combined with AddressSanitizer,
# so it is an option of its own beside ROUSEL_SANITIZE.
if(ROUSEL_TSAN)
  if(ROUSEL_SANITIZE OR ROUSEL_FUZZ)
    message(FATAL_ERROR "ROUSEL_TSAN cannot be combined with ROUSEL_SANITIZE or ROUSEL_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
endif()
