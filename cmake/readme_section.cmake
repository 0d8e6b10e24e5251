# Writes the "## Windows" section of README.md (up to the next "## " heading)
# to OUTPUT as plain text with CRLF line ends: code fences dropped, backticks
# and heading marks taken off.
#   cmake -DREADME=README.md -DOUTPUT=README-Windows.txt -P readme_section.cmake
# The text is handled whole, never as a CMake list (a ';' would split it).
file(READ ${README} readme)
string(REPLACE "\r\n" "\n" readme "\n${readme}")
string(FIND "${readme}" "\n## Windows\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README has no \"## Windows\" section: ${README}")
endif()
math(EXPR start "${start} + 12")  # past "\n## Windows\n"
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
if(NOT end EQUAL -1)
  string(SUBSTRING "${section}" 0 ${end} section)
endif()
string(REGEX REPLACE "\n```[^\n]*" "" section "\n${section}")
string(REPLACE "`" "" section "${section}")
string(REPLACE "\n### " "\n" section "${section}")
string(REPLACE "\n#### " "\n" section "${section}")
string(STRIP "${section}" section)
set(text "VELDAR2 for Windows\n\n${section}\n")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
