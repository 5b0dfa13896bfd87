# Writes the compile commands of a build tree to OUT, one "DIRECTORY<TAB>FILE<TAB>COMMAND"
# line each, read from its compile_commands.json:
#   cmake -DDB=build/compile_commands.json -DOUT=commands.tsv -P commands.cmake
file(READ "${DB}" db)
string(JSON count LENGTH "${db}")
file(WRITE "${OUT}" "")
if(count EQUAL 0)
  return()
endif()
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON dir GET "${db}" ${i} directory)
  string(JSON src GET "${db}" ${i} file)
  string(JSON cmd GET "${db}" ${i} command)
  file(APPEND "${OUT}" "${dir}\t${src}\t${cmd}\n")
endforeach()
