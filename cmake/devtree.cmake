# Links every Python source of src/ into the development package tree, so
# that PYTHONPATH=<build>/pkg imports the built modules beside the sources.
file(GLOB_RECURSE sources RELATIVE "${SRC}" "${SRC}/*.py" "${SRC}/*.pyi" "${SRC}/*py.typed")
foreach(rel IN LISTS sources)
  get_filename_component(dir "${DEST}/${rel}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  if(NOT IS_SYMLINK "${DEST}/${rel}")
    file(CREATE_LINK "${SRC}/${rel}" "${DEST}/${rel}" SYMBOLIC)
  endif()
endforeach()
