# Runs a bash completion function on typed lines, as readline would, outside an interactive shell:
#   bash complete-lines.bash <completion file> <function> < lines
# Each line of input is what was typed (the cursor at its end); each line of output holds the
# completions offered for it, sorted and joined by blanks.
source /usr/share/bash-completion/bash_completion
source "$1"
function=$2
compopt() { :; }                   # meaningful only inside a real completion
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:' # an interactive shell's default
while IFS= read -r line; do
    # Readline makes ":" a word of its own.
    read -r -a COMP_WORDS <<<"${line//:/ : }"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' '
done
