# Run with cmake -P at build time: makes OUTPUT, a small tar.gz for trying the preview, from a
# tree written here under WORK_DIR (folders, a package, hidden Mac items, an executable).
# The archive is the same on every build: fixed dates (17 May 2024), owners and order, and no
# gzip time stamp.
foreach(_var OUTPUT WORK_DIR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "MakeSampleArchive: ${_var} is not set")
  endif()
endforeach()

set(_root "${WORK_DIR}/tree")
file(REMOVE_RECURSE "${_root}")
set(_top "${_root}/tessaro-sample")

string(REPEAT "Tessaro lists the entries of an archive as one self-contained page.\n" 40 _paragraphs)
string(REPEAT "<p>Open a folder row to see what it holds; the configuration panel hides columns.</p>\n" 120 _guide)
string(REPEAT "  { \"name\": \"slate\", \"rgb\": [112, 128, 144] },\n" 30 _palette)

file(WRITE "${_top}/README.md" "# Tessaro sample\n\n${_paragraphs}")
file(WRITE "${_top}/LICENSE" "Permission is granted to use this sample for anything.\n")
file(WRITE "${_top}/docs/guide.html" "<!DOCTYPE html>\n<title>Guide</title>\n${_guide}")
file(WRITE "${_top}/docs/notes.txt" "Notes about the sample.\n")
file(WRITE "${_top}/src/main.c" "#include \"archive.h\"\n\nint main(void) { return list_archive(\"sample.tar.gz\"); }\n")
file(WRITE "${_top}/src/archive.h" "int list_archive(const char *path);\n")
file(WRITE "${_top}/src/lib/util.c" "int list_archive(const char *path) { return path != 0 ? 0 : 1; }\n")
file(WRITE "${_top}/assets/logo.svg"
     "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\"><circle cx=\"8\" cy=\"8\" r=\"7\"/></svg>\n")
file(WRITE "${_top}/assets/palette.json" "[\n${_palette}  {}\n]\n")
file(WRITE "${_top}/scripts/build.sh" "#!/bin/sh\nset -e\ncc -o sample src/main.c src/lib/util.c\n")
file(CHMOD "${_top}/scripts/build.sh" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
file(WRITE "${_top}/Sample.app/Contents/Info.plist" "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict/></plist>\n")
file(WRITE "${_top}/Sample.app/Contents/MacOS/sample" "#!/bin/sh\necho sample\n")
# What a Mac leaves in archives it makes: shown only when hidden files are.
file(WRITE "${_top}/.DS_Store" "Bud1")
file(WRITE "${_root}/__MACOSX/tessaro-sample/._README.md" "Mac OS X metadata")

get_filename_component(_output_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${_output_dir}")
execute_process(
  COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@1715941800
          -C "${_root}" -cf - tessaro-sample __MACOSX
  COMMAND gzip -n -9
  OUTPUT_FILE "${OUTPUT}.part"
  RESULTS_VARIABLE _results)
foreach(_result IN LISTS _results)
  if(NOT _result EQUAL 0)
    file(REMOVE "${OUTPUT}.part")
    message(FATAL_ERROR "MakeSampleArchive: tar or gzip failed (${_results})")
  endif()
endforeach()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
