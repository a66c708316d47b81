# TAMBLET_SANITIZE is a list such as "address;undefined" or "thread".
if(TAMBLET_SANITIZE)
  list(JOIN TAMBLET_SANITIZE "," _san)
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${_san})
  if("undefined" IN_LIST TAMBLET_SANITIZE)
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()
