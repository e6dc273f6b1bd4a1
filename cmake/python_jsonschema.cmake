# Finds a Python 3 that can import jsonschema, for the schema and CLI tests.
# The first python3 on PATH may be a private one without it, while
# /usr/bin/python3 gets it from Debian's python3-jsonschema (scripts/deps.sh).
# Sets VMD_JSONSCHEMA_PYTHON, empty when there is none.
set(VMD_JSONSCHEMA_PYTHON "")
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
endforeach()
if(NOT VMD_JSONSCHEMA_PYTHON)
  message(WARNING "No python3 here can import jsonschema (with draft 2020-12); the schema "
                  "and cli tests will fail. Run scripts/deps.sh.")
endif()
