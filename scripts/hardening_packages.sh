# Sourced by the hardening scripts: the clang toolchain they build and check
# with (llvm puts llvm-symbolizer on the PATH, for readable sanitizer reports),
# and vivanto's libraries, since the sanitized builds configure vivanto too.
ensure_hardening_packages() {
  ensure_base_packages
  ensure_vivanto_packages
  ensure_packages clang-14 libclang-rt-14-dev llvm clang-tidy-14 clang-format-14 cppcheck
}
