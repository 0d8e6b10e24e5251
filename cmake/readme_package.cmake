# Writes the README that the veldar2 package installs in /usr/share/doc: the
# README for people who installed the program, without what only a source
# tree has. Left out are the "## " sections named in SECTIONS (building,
# testing, the Windows build, the layout of the source) and every span
# between "<!-- source tree -->" and "<!-- end source tree -->" (pictures,
# scripts, paths of the build tree).
#   cmake -DREADME=README.md -DOUTPUT=README.md -P readme_package.cmake
# The text is handled whole, never as a CMake list (a ';' would split it).
cmake_minimum_required(VERSION 3.20)
set(sections "Installing" "Building and testing from source" "Windows" "Internals")
file(READ ${README} readme)
string(REPLACE "\r\n" "\n" readme "${readme}")

set(open "<!-- source tree -->")
set(close "<!-- end source tree -->")
while(TRUE)
  string(FIND "${readme}" "${open}" start)
  if(start EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${readme}" ${start} -1 rest)
  string(FIND "${rest}" "${close}" end)
  if(end EQUAL -1)
    message(FATAL_ERROR "${README}: \"${open}\" is never closed")
  endif()
  string(LENGTH "${close}" length)
  math(EXPR after "${end} + ${length}")
  string(SUBSTRING "${readme}" 0 ${start} before)
  string(SUBSTRING "${rest}" ${after} -1 rest)
  set(readme "${before}${rest}")
endwhile()
string(FIND "${readme}" "${close}" stray)
if(NOT stray EQUAL -1)
  message(FATAL_ERROR "${README}: \"${close}\" without \"${open}\"")
endif()

foreach(section IN LISTS sections)
  string(FIND "${readme}" "\n## ${section}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "${README} has no \"## ${section}\" section")
  endif()
  math(EXPR from "${start} + 1")
  string(SUBSTRING "${readme}" ${from} -1 rest)
  string(SUBSTRING "${rest}" 3 -1 body)  # past "## "
  string(FIND "${body}" "\n## " end)
  string(SUBSTRING "${readme}" 0 ${from} before)
  if(end EQUAL -1)
    set(readme "${before}")
  else()
    math(EXPR next "${end} + 4")  # the next section's "## "
    string(SUBSTRING "${body}" ${next} -1 after)
    set(readme "${before}## ${after}")
  endif()
endforeach()
# Blank lines a removed span leaves are taken back to one.
string(REGEX REPLACE "\n\n\n+" "\n\n" readme "${readme}")
string(STRIP "${readme}" readme)
file(WRITE ${OUTPUT} "${readme}\n")
