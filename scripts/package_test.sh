#!/usr/bin/env bash
# The Debian package as a user gets it: builds the default preset, makes the
# package with `cpack --preset default`, checks what it holds and that it
# declares the libraries its programs link, unpacks it into a temporary root
# (dpkg-deb -x, nothing is installed) and runs the example and
# `vivanto --list-options` from there, in a folder of their own.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages
ensure_packages dpkg-dev # dpkg-shlibdeps, which finds the package's Depends

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
rm -rf build/default/package
cpack --preset default
debs=(build/default/package/vivanto_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one vivanto .deb, found: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"

fail() {
  echo "package_test.sh: $*" >&2
  exit 1
}

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libc6 libvips42 liblcms2-2; do
  grep -qE "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends does not name $library"
done

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
plugin_dir=usr/lib/$multiarch/vivanto
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in usr/bin/vivanto "$plugin_dir/libhueflare.so" "$plugin_dir/example_chart" usr/share/doc/vivanto/README.md; do
  grep -qx "\./$file" <<<"$contents" || fail "the package lacks /$file"
done
if grep -E 'hueflare_testing|fake_plugin|_tests$|stage_bench|gtest|benchmark' <<<"$contents"; then
  fail "the package holds files of the tests (above)"
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/unpacked"
mkdir "$root/work" "$root/work/result"
cd "$root/work"

# The example, as scripts/example.sh runs it, with vivanto finding the
# plug-in from its own path inside the unpacked tree.
"$root/unpacked/$plugin_dir/example_chart" chart.png
"$root/unpacked/usr/bin/vivanto" --rg 40 --by 40 --stats --compare before_after.png chart.png -o result
[ -s result/chart.png ] && [ -s before_after.png ] || fail "the example wrote no result"
cmp -s chart.png result/chart.png && fail "the example's result equals its input"

options=$("$root/unpacked/usr/bin/vivanto" --list-options)
echo "$options"
for label in "Enable vivanto plugin" "Pop the reds and greens" "Pop the blues and yellows."; do
  grep -qF "\"$label\"" <<<"$options" || fail "--list-options lacks \"$label\""
done

# And it was the unpacked plug-in that ran: without it vivanto has none.
rm "$root/unpacked/$plugin_dir/libhueflare.so"
if "$root/unpacked/usr/bin/vivanto" --list-options >/dev/null 2>&1; then
  fail "vivanto still ran with the unpacked plug-in removed: it found another one"
fi
echo "the unpacked package works from $root/work"
