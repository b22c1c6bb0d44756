# Writes the page's files into a C++ source as raw string literals, so the
# program serves its page without files of its own at run time.
# cmake -DPAGE_DIR=... -DOUTPUT=... -P embed_page.cmake
set(text "// Generated from ${PAGE_DIR} by embed_page.cmake; edit the page files instead.\n")
string(APPEND text "#include \"serve/http/page_assets.h\"\nnamespace korvel::cli::serve::http {\n")
foreach(pair "kPageHtml;index.html" "kPageScript;page.js" "kPageStyle;page.css")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ ${PAGE_DIR}/${file} content)
  string(FIND "${content}" ")korvelpage\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the literal's end marker")
  endif()
  string(APPEND text "extern const char ${name}[] = R\"korvelpage(${content})korvelpage\";\n")
endforeach()
string(APPEND text "}  // namespace korvel::cli::serve::http\n")
file(WRITE ${OUTPUT}.tmp "${text}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
