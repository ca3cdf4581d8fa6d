# Each layer (a folder of the tree) is one or two static libraries, and its
# headers are reachable only by the targets that link it. Sources include
# headers as "folder/name.h"; instead of the source root, which would open
# every folder to every file, a target's include path holds a folder of its
# own in the build tree with a single link, <folder> -> the source folder. An
# include against the layers' arrows then fails to build.
#
#   zelmar_layer_includes(<target> PUBLIC|INTERFACE)
function(zelmar_layer_includes target scope)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(root ${PROJECT_BINARY_DIR}/layers/${folder})
    if(NOT EXISTS ${root}/${folder})
        file(MAKE_DIRECTORY ${root})
        file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    endif()
    target_include_directories(${target} ${scope} ${root})
endfunction()
