# Points the Python search at the newest pyenv CPython 3.12 unless the caller
# already chose an interpreter (-DPython3_EXECUTABLE=... or scikit-build-core's
# Python_EXECUTABLE).  CPython 3.12 and 3.13 are supported; what depends on
# the interpreter (the module's file name, the compiled-plugin names the
# runner looks for) follows the one built against.
if(DEFINED Python_EXECUTABLE AND NOT DEFINED Python3_EXECUTABLE)
  set(Python3_EXECUTABLE "${Python_EXECUTABLE}")
endif()

if(NOT DEFINED Python3_EXECUTABLE)
  set(_pl_pyenv_roots "")
  if(DEFINED ENV{PYENV_ROOT})
    list(APPEND _pl_pyenv_roots "$ENV{PYENV_ROOT}")
  endif()
  find_program(_pl_pyenv pyenv)
  if(_pl_pyenv)
    execute_process(COMMAND "${_pl_pyenv}" root OUTPUT_VARIABLE _pl_root
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _pl_rc)
    if(_pl_rc EQUAL 0 AND _pl_root)
      list(APPEND _pl_pyenv_roots "${_pl_root}")
    endif()
  endif()
  if(DEFINED ENV{HOME})
    list(APPEND _pl_pyenv_roots "$ENV{HOME}/.pyenv")
  endif()
  foreach(_pl_r IN LISTS _pl_pyenv_roots)
    file(GLOB _pl_candidates "${_pl_r}/versions/3.12.*/bin/python3.12")
    if(_pl_candidates)
      list(SORT _pl_candidates COMPARE NATURAL ORDER DESCENDING)
      list(GET _pl_candidates 0 _pl_first)
      set(Python3_EXECUTABLE "${_pl_first}" CACHE FILEPATH "CPython 3.12 interpreter")
      break()
    endif()
  endforeach()
endif()

find_package(Python3 3.12...<3.14 REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "Python ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR} for PluginLoader: "
               "${Python3_EXECUTABLE}")
