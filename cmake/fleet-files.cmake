# Run by `cmake --install` (install.cmake adds it): writes the fleet files
# for the prefix of this install, which `--prefix DIR` may have changed
# since the build was configured, so that the units and facts run DIR's
# vmd-detect. A DESTDIR staging keeps the prefix, as it should. Expects
# VMD_FLEET_SOURCE, VMD_FLEET_OUT, VMD_BINDIR and VMD_DATADIR.
get_filename_component(vmd_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
string(REGEX REPLACE "/+$" "" vmd_prefix "${vmd_prefix}")
foreach(dir IN ITEMS BINDIR DATADIR)
  if(IS_ABSOLUTE "${VMD_${dir}}")
    set(CMAKE_INSTALL_FULL_${dir} "${VMD_${dir}}")
  else()
    set(CMAKE_INSTALL_FULL_${dir} "${vmd_prefix}/${VMD_${dir}}")
  endif()
endforeach()
foreach(file IN ITEMS vmd-detect.service refresh ansible/vm_detection.fact facter/vm_detection)
  configure_file(${VMD_FLEET_SOURCE}/${file}.in ${VMD_FLEET_OUT}/${file} @ONLY)
endforeach()
