# Finds a Python 3 that can import jsonschema, for the schema and CLI tests.
# The first python3 on PATH may be a private one without it, while
# /usr/bin/python3 gets it from Debian's python3-jsonschema (scripts/deps.sh).
# Sets VMD_JSONSCHEMA_PYTHON, empty when there is none; one whose jsonschema
# has the draft 2020-12 validator (jsonschema 4) is taken first, and with an
# older one (Debian 11 has 3.2) the tests that need it skip.
set(VMD_JSONSCHEMA_PYTHON "")
set(vmd_jsonschema_older "")
foreach(candidate IN ITEMS "${Python3_EXECUTABLE}" /usr/bin/python3 python3)
  if(NOT candidate)
    continue()
  endif()
  execute_process(COMMAND ${candidate} -c "import jsonschema; jsonschema.Draft202012Validator"
                  RESULT_VARIABLE vmd_no_jsonschema OUTPUT_QUIET ERROR_QUIET)
  if(vmd_no_jsonschema EQUAL 0)
    set(VMD_JSONSCHEMA_PYTHON "${candidate}")
    break()
  endif()
  if(NOT vmd_jsonschema_older)
    execute_process(COMMAND ${candidate} -c "import jsonschema"
                    RESULT_VARIABLE vmd_no_jsonschema OUTPUT_QUIET ERROR_QUIET)
    if(vmd_no_jsonschema EQUAL 0)
      set(vmd_jsonschema_older "${candidate}")
    endif()
  endif()
endforeach()
if(NOT VMD_JSONSCHEMA_PYTHON AND vmd_jsonschema_older)
  set(VMD_JSONSCHEMA_PYTHON "${vmd_jsonschema_older}")
  message(WARNING "The jsonschema of ${vmd_jsonschema_older} has no draft 2020-12 validator "
                  "(jsonschema 4 has): the schema and report_corpus tests will skip.")
elseif(NOT VMD_JSONSCHEMA_PYTHON)
  message(WARNING "No python3 here can import jsonschema: the schema and cli tests will "
                  "fail. Run scripts/deps.sh.")
endif()
