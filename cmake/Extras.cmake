# Link dependencies and generated sources of the local API.

# The loopback HTTP server. Its compile definitions select the library's
# build variant and must match the installed shared library.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
list(APPEND KAV_EXTRA_LIBS PkgConfig::HTTPLIB)

# The web page is compiled into the program: api/page.html becomes a byte
# array in a generated header, rebuilt whenever the page changes.
set(KAV_PAGE_HEADER ${CMAKE_BINARY_DIR}/generated/api/page_data.h)
add_custom_command(
  OUTPUT ${KAV_PAGE_HEADER}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/api/page.html -DOUTPUT=${KAV_PAGE_HEADER}
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/api/page.html ${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake
  COMMENT "Embedding the web page"
  VERBATIM)
list(APPEND KAV_EXTRA_SOURCES ${KAV_PAGE_HEADER})
