# The wine prefix for the kernel test's --windows mode, made on the host once
# per wine version and kept as a tar in the cache: winebus with its SDL side
# off ("Enable SDL"=0), as Debian's wine carries no SDL and would otherwise
# never start its hidraw side, and wine's null display driver, as the guest has
# no X server and the updater's hidden device-change window needs a display
# driver to be created at all. The tar's name carries wine's version and a
# digest of this file, so a changed recipe makes a new one. Sourced by
# scripts/kernel-test.sh.

make_wine_prefix() { # cache folder; prints the tar's path
    local cache=$1 version tar prefix wine wineserver
    scripts/deps.sh --only wine64 >&2
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    version=$("$wine" --version | tr -c 'A-Za-z0-9.\n' _)
    tar=$cache/wineprefix-$version-$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-8).tar
    if [ ! -f "$tar" ]; then
        prefix=$(mktemp -d)
        (
            export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
            "$wine" wineboot -i >/dev/null 2>&1
            "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD \
                /d 0 /f >/dev/null 2>&1
            "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
            "$wineserver" -w
        )
        # The prefix holds copies of wine's own DLLs (some 700 MB): links to
        # them instead, which the guest reaches through the root share.
        local file base lib
        lib=$(dirname "$(dirname "$(readlink -f "$wine")")")
        [ -d "$lib/x86_64-windows" ] || lib=/usr/lib/x86_64-linux-gnu/wine
        while IFS= read -r -d '' file; do
            base=$(basename "$file")
            for dir in x86_64-windows i386-windows; do
                if cmp -s "$file" "$lib/$dir/$base"; then
                    ln -sf "$lib/$dir/$base" "$file"
                    break
                fi
            done
        done < <(find "$prefix/drive_c/windows" -type f -print0)
        mkdir -p "$cache"
        rm -f "$cache"/wineprefix-*.tar # an older wine's or recipe's
        tar -cf "$tar.tmp" -C "$prefix" . && mv "$tar.tmp" "$tar"
        rm -rf "$prefix"
    fi
    echo "$tar"
}
