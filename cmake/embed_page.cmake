# Writes OUT, a header that holds the report page's markup, style and script
# (HTML, CSS and JS, the files editors and linters read) as C++ text.
#   cmake -DHTML=... -DCSS=... -DJS=... -DOUT=... -P embed_page.cmake
set(delimiter "vx40page")
set(text "// Made at build time from bench/page/report.{html,css,js}; edit those.\n#pragma once\n\nnamespace bench::page_assets {\n")
foreach(pair "kHtml;${HTML}" "kCss;${CSS}" "kJs;${JS}")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ "${file}" content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the text that ends the literal: )${delimiter}\"")
  endif()
  string(APPEND text "inline constexpr char ${name}[] = R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND text "}  // namespace bench::page_assets\n")
# Rewritten only when it changes, so nothing is rebuilt for nothing.
file(WRITE "${OUT}.new" "${text}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
