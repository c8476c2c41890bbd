# velnor_public_keys(FILE KEYS ERROR): the public keys of a key file, as the
# device build reads them, by the rule velnor-pack follows too
# (package/signing.cpp): a byte order mark at the start is skipped, each
# line is stripped of white space at both ends, empty lines and lines then
# starting with "#" are left out, and every other line must be a key of 64
# hexadecimal digits. KEYS receives the keys; ERROR the first fault, or is
# empty. Used by velnor_trusted_keys, and by the tests in script mode.
function(velnor_public_keys file keys_var error_var)
  set(keys "")
  set(error "")
  file(STRINGS ${file} lines ENCODING UTF-8)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(LENGTH "${line}" digits)
    if(NOT line MATCHES "^[0-9a-fA-F]+$" OR NOT digits EQUAL 64)
      set(error "${file}: not a public key: ${line}")
      break()
    endif()
    list(APPEND keys "${line}")
  endforeach()
  if(NOT error AND NOT keys)
    set(error "${file}: no public key")
  endif()
  set(${keys_var} "${keys}" PARENT_SCOPE)
  set(${error_var} "${error}" PARENT_SCOPE)
endfunction()

# In script mode (cmake -DKEYFILE=FILE -P cmake/key_file.cmake): one key a
# line on standard output, or the fault on standard error and exit 1.
if(CMAKE_SCRIPT_MODE_FILE AND KEYFILE)
  velnor_public_keys(${KEYFILE} keys error)
  if(error)
    message(FATAL_ERROR "${error}")
  endif()
  foreach(key IN LISTS keys)
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${key}")
  endforeach()
endif()
