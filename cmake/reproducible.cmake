# No build path may end up in an object: two checkouts must build the same bytes.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
