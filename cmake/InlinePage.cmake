# Makes the admin page that lies beside the executable: web/AdminPage.html with the chart
# library's script and styles put in place of their markers, so that the page stays one file.
# Run as: cmake -DTEMPLATE=... -DSCRIPT=... -DSTYLES=... -DOUTPUT=... -P InlinePage.cmake
file(READ "${TEMPLATE}" page)
if(EXISTS "${SCRIPT}" AND EXISTS "${STYLES}")
    file(READ "${SCRIPT}" script)
    file(READ "${STYLES}" styles)
    string(FIND "${script}" "</script" closing)
    if(NOT closing EQUAL -1)
        message(FATAL_ERROR "${SCRIPT} holds </script and cannot be inlined")
    endif()
    string(REPLACE "/*@uplot.js@*/" "${script}" page "${page}")
    string(REPLACE "/*@uplot.css@*/" "${styles}" page "${page}")
endif()
file(WRITE "${OUTPUT}" "${page}")
