# Bash completion of zipsalvage: its options, then archives (Zip and the formats built on it)
# and folders; -o and --report take any path, -d a folder.
_zipsalvage() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
        -o | --output | --report)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -p | --password)
            return
            ;;
        -d | --directory)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --threads)
            COMPREPLY=($(compgen -W "1 2 4 8" -- "$cur"))
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-l --list -t --test -d --directory -o --output -p --password -q --quiet -y --yes
            --report --threads --copy-intact -h --help -V --version --" -- "$cur"))
        return
    fi
    local extglobWas
    extglobWas=$(shopt -p extglob)
    shopt -s extglob
    COMPREPLY=($(compgen -f -X '!*.@(zip|ZIP|jar|JAR|apk|APK|epub|docx|xlsx|pptx|odt|ods|odp)' \
        -- "$cur") $(compgen -d -- "$cur"))
    eval "$extglobWas"
}
complete -o filenames -F _zipsalvage zipsalvage
