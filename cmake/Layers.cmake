# A layer's include root: a folder in the build tree holding one link, named after the layer, to
# the layer's sources. Each library publishes only its own root instead of the whole source tree,
# so a source sees the roots of its own layer and of the layers its library links (those below
# it): an include of an upper layer's header does not compile. cmake/LayerCheck.cmake, run by the
# tests, names the file and the rule.
function(velk_layer_include_root target layer)
  set(root ${CMAKE_BINARY_DIR}/layer-include/${layer})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${root}/${layer} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
