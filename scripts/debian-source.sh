# Sourced by the scripts that build from Debian's source packages (scripts/win32-qt.sh,
# scripts/win32-tigervnc.sh); the caller defines log.
#   ensure_deb_src PACKAGE   adds deb-src entries for the configured archives unless apt-get can
#                            already fetch PACKAGE's source

ensure_deb_src() {
    if apt-get source --print-uris "$1" >/dev/null 2>&1; then
        return
    fi
    local list=/etc/apt/sources.list.d/velmora-deb-src.sources
    log "adding deb-src entries for the configured Debian archives ($list)"
    {
        for file in /etc/apt/sources.list.d/*.sources; do
            [[ -f "$file" && "$file" != "$list" ]] || continue
            # Each stanza again, as a source stanza.
            sed -e 's/^Types:.*/Types: deb-src/' "$file"
            echo
        done
    } >"$list.tmp"
    if [[ -f /etc/apt/sources.list ]]; then
        grep -E '^deb[[:space:]]' /etc/apt/sources.list | sed -e 's/^deb/deb-src/' \
            >/etc/apt/sources.list.d/velmora-deb-src.list || true
    fi
    mv "$list.tmp" "$list"
    apt-get update -qq
}
