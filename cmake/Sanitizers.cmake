# TAMBLET_SANITIZE is a list such as "address;undefined" or "thread".
if(TAMBLET_SANITIZE)
  list(JOIN TAMBLET_SANITIZE "," _san)
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_san})
  if("undefined" IN_LIST TAMBLET_SANITIZE)
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

# GCC 12 reports -Wmaybe-uninitialized on std::variant and std::vector moves
# once sanitizer instrumentation changes its inlining; the normal build keeps it.
if(TAMBLET_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-maybe-uninitialized)
endif()
