# The old/new file pairs of the patch and encoding benchmarks, gathered
# into $work/pairs/NAME.old and NAME.new. Sourced by bench scripts that set
# work (the folder) and bench (the patch_bench helper, which generates the
# minor-release and asset pairs); gather_pairs fills names with the pairs
# present, honouring PATCH_BENCH_PAIRS (names separated by spaces).

# name | old package=version | new package=version | file inside the old
# package | file inside the new one (when its name differs).
# Only pairs whose files differ: create mode makes no patch for an unchanged
# file (a 31 MiB unchanged file would give 32 KB here, the floor of a body
# that carries one diff byte per new byte under deflate's 1032:1 limit).
pairs=(
  "libcrypto.so.3|libssl3=3.0.20-1~deb12u2|libssl3=3.0.22-1~deb12u2|usr/lib/x86_64-linux-gnu/libcrypto.so.3"
  "mariadbd|mariadb-server-core=1:10.11.18-0+deb12u1|mariadb-server-core=1:10.11.19-0+deb12u1|usr/sbin/mariadbd"
  "libpython3.11|libpython3.11=3.11.2-6+deb12u8|libpython3.11=3.11.2-6+deb12u9|usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
  "libjvm.so|openjdk-17-jre-headless=17.0.19+10-1~deb12u2|openjdk-17-jre-headless=17.0.21.1+2-1~deb12u1|usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so"
  "libLLVM-14to15|libllvm14=1:14.0.6-12|libllvm15=1:15.0.6-4+b1|usr/lib/x86_64-linux-gnu/libLLVM-14.so.1|usr/lib/x86_64-linux-gnu/libLLVM-15.so.1"
  "libLLVM-16to19|libllvm16=1:16.0.6-15~deb12u1|libllvm19=1:19.1.7-3~deb12u1|usr/lib/x86_64-linux-gnu/libLLVM-16.so.1|usr/lib/x86_64-linux-gnu/libLLVM.so.19.1"
  "libLLVM-13to19|libllvm13=1:13.0.1-11+b2|libllvm19=1:19.1.7-3~deb12u1|usr/lib/x86_64-linux-gnu/libLLVM-13.so.1|usr/lib/x86_64-linux-gnu/libLLVM.so.19.1"
)
wanted() { [ -z "${PATCH_BENCH_PAIRS:-}" ] || [[ " $PATCH_BENCH_PAIRS " == *" $1 "* ]]; }

# Extracts one file of one package version to $2; false when not served.
fetch() {
  local spec=$1 target=$2 inner=$3
  [ -f "$target" ] && return 0
  local dir="$work/debs/${spec//[:=~]/_}"
  mkdir -p "$dir"
  if ! ls "$dir"/*.deb >/dev/null 2>&1; then
    (cd "$dir" && apt-get download "$spec" >/dev/null 2>&1) || return 1
  fi
  [ -d "$dir/root" ] || dpkg-deb -x "$dir"/*.deb "$dir/root"
  cp "$dir/root/$inner" "$target"
}

gather_pairs() {
  names=()
  for pair in "${pairs[@]}"; do
    IFS='|' read -r name oldSpec newSpec inner newInner <<<"$pair"
    wanted "$name" || wanted "minor-$name" || continue
    if fetch "$oldSpec" "$work/pairs/$name.old" "$inner" &&
       fetch "$newSpec" "$work/pairs/$name.new" "${newInner:-$inner}"; then
      if wanted "$name"; then names+=("$name"); fi
    else
      echo "skipped $name: $oldSpec or $newSpec is not served" >&2
    fi
  done
  # Minor releases generated from the old file of these pairs.
  for base in libcrypto.so.3 mariadbd libpython3.11; do
    wanted "minor-$base" || continue
    if [ ! -f "$work/pairs/$base.old" ]; then
      echo "skipped minor-$base: no $base pair" >&2
      continue
    fi
    cp "$work/pairs/$base.old" "$work/pairs/minor-$base.old"
    [ -f "$work/pairs/minor-$base.new" ] ||
      "$bench" minor "$work/pairs/$base.old" "$work/pairs/minor-$base.new"
    names+=("minor-$base")
  done
  if wanted assets; then
    if [ ! -f "$work/pairs/assets.new" ]; then
      "$bench" assets "$work/pairs/assets.old" "$work/pairs/assets.new"
    fi
    names+=("assets")
  fi
}
