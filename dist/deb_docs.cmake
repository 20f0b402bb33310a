# Run by CPack between staging the files and packing them: the package's
# documentation folder as Debian policy wants it. The licence becomes
# `copyright`. This is a native package, so its `changelog.gz` must be in
# Debian's changelog format: one entry for this version whose text is the
# project's changelog, sections and all. Compressed with gzip -9n and dated
# by SOURCE_DATE_EPOCH when set, so that a rebuild gives the same bytes.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(GLOB docdirs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/kavelo")
foreach(dir IN LISTS docdirs)
  file(RENAME "${dir}/LICENSE" "${dir}/copyright")
  file(STRINGS "${dir}/CHANGELOG.md" lines ENCODING UTF-8)
  file(REMOVE "${dir}/CHANGELOG.md")
  set(body "")
  set(started OFF)
  foreach(line IN LISTS lines)
    if(line MATCHES "^## ")
      set(started ON)
    endif()
    if(started AND line STREQUAL "")
      string(APPEND body "\n")
    elseif(started)
      string(APPEND body "  ${line}\n")
    endif()
  endforeach()
  file(WRITE "${dir}/changelog"
    "kavelo (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n${body}\n"
    " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
  execute_process(COMMAND gzip -9nf "${dir}/changelog" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${dir}/changelog failed")
  endif()
endforeach()
