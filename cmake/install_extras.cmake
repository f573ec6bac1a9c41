# A single-file extension has no package to hold a py.typed marker, so the stub is installed twice:
# beside orvane_keldra.abi3.so, where pyright and editors look for it, and as the stub-only package
# orvane_keldra-stubs, the only form in which mypy reads a top-level module's stub from
# site-packages (it ignores loose .pyi files there).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/orvane_keldra.pyi DESTINATION .)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/orvane_keldra.pyi
        DESTINATION orvane_keldra-stubs RENAME __init__.pyi)
