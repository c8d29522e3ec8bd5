# The part of a sample game build that scripts/demo.sh and
# tests/windows/e2e.sh share: each adds its own files and programs.

# sample_build_base FOLDER: the folders of a game build (data/quor/maps,
# data/common, settings, saves) and a map of 300000 random bytes,
# data/quor/maps/world.map.
sample_build_base() {
  local folder=$1
  mkdir -p "$folder/data/quor/maps" "$folder/data/common" "$folder/settings" "$folder/saves"
  head -c 300000 /dev/urandom >"$folder/data/quor/maps/world.map"
}
