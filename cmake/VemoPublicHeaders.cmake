# vemo_public_headers(<target> <header>...)
#
# What links a library reaches only its public headers: each one named here
# gets a forwarding header in the build tree (it includes the real file, so
# diagnostics point at the source), and that folder is the library's public
# include directory. The library's own folder stays on its private include
# path. Its white-box tests add the folder by hand:
#   target_include_directories(tst_x PRIVATE $<TARGET_PROPERTY:<target>,VEMO_SOURCE_DIR>)
function(vemo_public_headers target)
    set(public_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_public)
    foreach(header ${ARGN})
        set(draft ${CMAKE_CURRENT_BINARY_DIR}/${target}_public.tmp/${header})
        file(WRITE ${draft}
             "// Public header of ${target}.\n#include \"${CMAKE_CURRENT_SOURCE_DIR}/${header}\"\n")
        # Rewritten only when it changes, so that nothing recompiles for it.
        configure_file(${draft} ${public_dir}/${header} COPYONLY)
    endforeach()
    target_include_directories(${target}
        PUBLIC ${public_dir}
        PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    set_property(TARGET ${target} PROPERTY VEMO_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
