# AES-GCM on VAES and AVX-512 from the multi-buffer crypto library (linked statically), for the
# TLS records the relay and the generator seal and open themselves, where the library is
# installed: Linux on x86-64. tnlrelay_fast_gcm(target definition) defines `definition` for
# `target` and links the library when it is found, and sets TNLRELAY_HAVE_FAST_GCM.
function(tnlrelay_fast_gcm target definition)
    set(TNLRELAY_HAVE_FAST_GCM OFF PARENT_SCOPE)
    if(WIN32 OR NOT CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
        return()
    endif()
    find_path(IPSEC_MB_INCLUDE intel-ipsec-mb.h)
    find_library(IPSEC_MB_LIBRARY NAMES libIPSec_MB.a IPSec_MB)
    if(IPSEC_MB_INCLUDE AND IPSEC_MB_LIBRARY)
        target_compile_definitions(${target} PRIVATE ${definition}=1)
        target_include_directories(${target} PRIVATE ${IPSEC_MB_INCLUDE})
        target_link_libraries(${target} PRIVATE ${IPSEC_MB_LIBRARY})
        set(TNLRELAY_HAVE_FAST_GCM ON PARENT_SCOPE)
    endif()
endfunction()
