# Run by `cmake --build BUILD --target uninstall` (CMakeLists.txt adds it):
# removes what the last `cmake --install` from BUILD wrote, as
# BUILD/install_manifest.txt lists it (whatever --prefix it was given; the
# list leaves DESTDIR out, so an uninstall is given the install's DESTDIR),
# links included, dangling or not, and nothing that the list does not
# name; then the project's own directories that this leaves empty. Shared ones (bin, lib, share/man/man1, the systemd
# unit directory...) stay, even empty: other software may expect them.
#   cmake -DVMD_MANIFEST=FILE -DVMD_OWN_DIRS=DIR[|DIR...] -P uninstall.cmake
# VMD_OWN_DIRS: the project's directories relative to a prefix
# (lib/cmake/vm_detection, share/vm_detection, share/vmd-detect).
if(NOT EXISTS "${VMD_MANIFEST}")
  message(FATAL_ERROR "uninstall: there is no ${VMD_MANIFEST}, so nothing was installed from "
    "this build folder (cmake --install writes that list); nothing removed")
endif()
string(REPLACE "|" ";" own_dirs "${VMD_OWN_DIRS}")
file(STRINGS "${VMD_MANIFEST}" paths)

set(removed 0)
set(failed "")
set(parents "")
foreach(path IN LISTS paths)
  set(path "$ENV{DESTDIR}${path}")
  if(IS_SYMLINK "${path}" OR EXISTS "${path}")
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
      # install() lists files only; a directory there is someone else's.
      message(WARNING "uninstall: ${path} is a directory now; left alone")
      continue()
    endif()
    file(REMOVE "${path}")
    if(IS_SYMLINK "${path}" OR EXISTS "${path}")
      list(APPEND failed "${path}")
      continue()
    endif()
    message(STATUS "Removed: ${path}")
    math(EXPR removed "${removed} + 1")
  else()
    message(STATUS "Not there: ${path}")
  endif()
  get_filename_component(parent "${path}" DIRECTORY)
  list(APPEND parents "${parent}")
endforeach()

# A directory is the project's when it is one of its own below some
# prefix, or lies within one; each is removed once empty, deepest first.
list(REMOVE_DUPLICATES parents)
set(dirs "")
foreach(dir IN LISTS parents)
  while(dir MATCHES "^/.")
    set(ours FALSE)
    foreach(own IN LISTS own_dirs)
      string(REGEX REPLACE "^/+" "" own "${own}")
      string(REGEX REPLACE "([][+.*?()^$|\\\\])" "\\\\\\1" own_re "${own}")
      if(dir MATCHES "/${own_re}(/|$)")
        set(ours TRUE)
      endif()
    endforeach()
    if(NOT ours)
      break()
    endif()
    list(APPEND dirs "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES dirs)
list(SORT dirs ORDER DESCENDING)
foreach(dir IN LISTS dirs)
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    file(GLOB entries LIST_DIRECTORIES true "${dir}/*" "${dir}/.*")
    list(FILTER entries EXCLUDE REGEX "/\\.\\.?$")
    if(NOT entries)
      file(REMOVE_RECURSE "${dir}")
      message(STATUS "Removed the empty directory ${dir}")
    endif()
  endif()
endforeach()

if(failed)
  list(JOIN failed "\n  " failed)
  message(FATAL_ERROR "uninstall: could not remove (as root?):\n  ${failed}")
endif()
list(LENGTH paths listed)
message(STATUS "uninstall: removed ${removed} of the ${listed} paths that ${VMD_MANIFEST} lists")
