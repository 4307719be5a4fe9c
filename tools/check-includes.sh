#!/usr/bin/env bash
# Holds the download engine to its plan (CONTRIBUTING.md): the run talks to the
# facade only, the store knows no request, the request knows no run, and nothing
# outside the engine reaches into its rooms but through the facade or the store's
# folder preparation. Prints every include that breaks a rule; exits 1 if any does.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"
status=0
breaks() { # files pattern why
    local files=$1 pattern=$2 why=$3 hit
    # shellcheck disable=SC2086
    hit=$(grep -nE "$pattern" $files 2>/dev/null) || return 0
    printf '%s\n' "$hit" | sed "s|\$|   <- $why|"
    status=1
}
shopt -s nullglob
run=(download/run/*.h download/run/*.cpp)
store=(download/store/*.h download/store/*.cpp)
request=(download/request/*.h download/request/*.cpp)
facade=(download/*.h download/*.cpp)
outside=(shell/*.h shell/*.cpp log/*.h log/*.cpp urllist/*.h urllist/*.cpp)
everywhere=(base/*.h base/*.cpp log/*.h log/*.cpp)
base=(base/*.h base/*.cpp)

breaks "${run[*]}" '#include [<"](download/(request|store)/|curl/)' "the run talks to the facade only"
breaks "${store[*]}" '#include [<"](download/(request|run)/|curl/)' "the store knows no request and no run"
breaks "${request[*]}" '#include [<"]download/run/' "the request knows no run"
breaks "${facade[*]}" '#include [<"]download/run/' "the facade knows no run"
breaks "${request[*]} ${store[*]} ${facade[*]}" '#include [<"]urllist/' "below the run the engine knows no list"
breaks "${outside[*]}" '#include [<"](download/request/|curl/)' "outside the engine only the facade speaks to libcurl"
breaks "${outside[*]}" '#include [<"]download/store/(PartFile|PartInfo|LocalPath)\.h' "outside the engine the store is reached through the facade"
breaks "${everywhere[*]}" '#include [<"](download/|curl/)' "base/ and log/ serve everyone and know no engine"
breaks "${run[*]} ${store[*]} ${facade[*]} ${outside[*]} ${base[*]}" '#include [<"]openssl/' "only the request speaks to OpenSSL"
exit $status
