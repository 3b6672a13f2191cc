# Duktape is compiled from the amalgamated source Debian's duktape-dev installs. The build copies
# duktape.c, duktape.h and duk_config.h into the build folder and puts our configuration
# overrides into the copy of duk_config.h, so the engine is sandboxed the same way wherever it
# is built. Nothing of Duktape is kept in the repository.
set(DUKTAPE_SOURCE_DIR /usr/share/duktape CACHE PATH "Folder holding duktape.c and duk_config.h")
set(DUKTAPE_GEN_DIR ${CMAKE_BINARY_DIR}/duktape)
file(MAKE_DIRECTORY ${DUKTAPE_GEN_DIR})
configure_file(${DUKTAPE_SOURCE_DIR}/duktape.h ${DUKTAPE_GEN_DIR}/duktape.h COPYONLY)
# The engine's sort runs natively and never reaches the bytecode executor's time check; one
# added call to the native stack check (which also reports a passed deadline) at each partition
# step bounds it like everything else. Configuring fails if the source no longer matches.
file(READ ${DUKTAPE_SOURCE_DIR}/duktape.c DUK_SOURCE_TEXT)
set(DUK_QSORT_HEAD "DUK_LOCAL void duk__array_qsort(duk_hthread *thr, duk_int_t lo, duk_int_t hi) {\n\tduk_int_t p, l, r;\n")
string(FIND "${DUK_SOURCE_TEXT}" "${DUK_QSORT_HEAD}" DUK_QSORT_POS)
if(DUK_QSORT_POS EQUAL -1)
  message(FATAL_ERROR "duktape.c has an unexpected layout; cannot bound its sort")
endif()
string(REPLACE "${DUK_QSORT_HEAD}" "${DUK_QSORT_HEAD}\n\tduk_native_stack_check(thr);\n"
  DUK_SOURCE_TEXT "${DUK_SOURCE_TEXT}")
file(WRITE ${DUKTAPE_GEN_DIR}/duktape.c.new "${DUK_SOURCE_TEXT}")
configure_file(${DUKTAPE_GEN_DIR}/duktape.c.new ${DUKTAPE_GEN_DIR}/duktape.c COPYONLY)
file(READ ${DUKTAPE_SOURCE_DIR}/duk_config.h DUK_CONFIG_TEXT)
file(READ ${CMAKE_SOURCE_DIR}/json/duk_overrides.h DUK_OVERRIDES_TEXT)
set(DUK_MARK "/*\n *  Conditional includes")
string(FIND "${DUK_CONFIG_TEXT}" "${DUK_MARK}" DUK_MARK_POS)
if(DUK_MARK_POS EQUAL -1)
  message(FATAL_ERROR "duk_config.h has an unexpected layout; cannot apply overrides")
endif()
string(REPLACE "${DUK_MARK}" "${DUK_OVERRIDES_TEXT}\n${DUK_MARK}" DUK_CONFIG_TEXT "${DUK_CONFIG_TEXT}")
file(WRITE ${DUKTAPE_GEN_DIR}/duk_config.h.new "${DUK_CONFIG_TEXT}")
configure_file(${DUKTAPE_GEN_DIR}/duk_config.h.new ${DUKTAPE_GEN_DIR}/duk_config.h COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/json/duk_overrides.h ${DUKTAPE_SOURCE_DIR}/duk_config.h
  ${DUKTAPE_SOURCE_DIR}/duktape.c)

add_library(duktape STATIC ${DUKTAPE_GEN_DIR}/duktape.c)
target_include_directories(duktape SYSTEM PUBLIC ${DUKTAPE_GEN_DIR})
target_compile_options(duktape PRIVATE -w -O2)
if(TUNOVA_FUZZ)
  # The engine adds 0 to null pointers on purpose (empty property tables); clang's check for
  # that would stop every run at the first object. Everything else stays checked.
  target_compile_options(duktape PRIVATE -fno-sanitize=pointer-overflow)
endif()
target_link_libraries(duktape PUBLIC m)
