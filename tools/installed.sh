# Sourced by the scripts that hook an installed Quorvex into the desktop: sets exe to
# the absolute path of the executable they were given (default app/quorvex, see
# run.sh), or ends the script when there is none. Expects here (the checkout).
exe="${1:-$here/app/quorvex}"
if [ ! -x "$exe" ] || [ -d "$exe" ]; then
    echo "No executable at $exe; build and install it first with ./run.sh" >&2
    exit 1
fi
exe="$(realpath -- "$exe")"
