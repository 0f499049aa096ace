# Fails, saying how to refresh it, when the committed docs/nodes.md is not the node reference the
# build writes from the node tables:
#   cmake -DGENERATED=BUILD/nodes.md -DCOMMITTED=SOURCE/docs/nodes.md -P check_nodes_doc.cmake
if(NOT EXISTS "${GENERATED}")
  message(FATAL_ERROR "${GENERATED} is missing: build the target nimbusdale_node_definitions")
endif()
set(committed "")
if(EXISTS "${COMMITTED}")
  file(READ "${COMMITTED}" committed)
endif()
file(READ "${GENERATED}" generated)
if(NOT committed STREQUAL generated)
  execute_process(COMMAND diff -u "${COMMITTED}" "${GENERATED}")
  message(FATAL_ERROR "${COMMITTED} is not what the node tables (include/nimbusdale/NodeTypes.h) "
                      "give. Refresh it and commit the result:\n"
                      "  cp ${GENERATED} ${COMMITTED}")
endif()
