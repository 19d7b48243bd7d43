# Sourced by the scripts that build from a source archive kept beside the repository
# (../shared/third-party/); the caller defines die.
#   require_archive PATH VARIABLE WHAT TAG COMMIT URL SHA256
#       dies with what the file is and where to put it unless PATH holds exactly that file
#       (VARIABLE: the environment variable that names another path)

require_archive() {
    local path="$1" variable="$2" what="$3" tag="$4" commit="$5" url="$6" sha256="$7" actual
    if [[ ! -f "$path" ]]; then
        die "$(basename "$path") not found at $path.
  It is $what as exported from its own repository at the tag
  $tag (commit $commit, $url),
  the file with SHA-256 $sha256.
  Put that file at the path above, or name its path in $variable."
    fi
    actual=$(sha256sum "$path" | cut -d' ' -f1)
    [[ "$actual" == "$sha256" ]] || die "$path has SHA-256 $actual, expected $sha256"
}
