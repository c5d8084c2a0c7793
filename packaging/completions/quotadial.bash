# bash completion for quotadial
_quotadial() {
  local cur prev
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev="${COMP_WORDS[COMP_CWORD-1]}"
  case "$prev" in
    --format)
      COMPREPLY=($(compgen -W "waybar i3blocks plain" -- "$cur"))
      return ;;
    --render-png)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --capture-height)
      return ;;
    --set)
      local keys
      keys=$(quotadial --settings 2>/dev/null | awk 'NR > 1 && NF && $1 != "File:" && $1 != "Change" { print $1 "=" }')
      compopt -o nospace 2>/dev/null
      COMPREPLY=($(compgen -W "$keys" -- "$cur"))
      return ;;
  esac
  COMPREPLY=($(compgen -W "--status --json --format --follow --headless --settings --set --demo --preview
    --capture --capture-height --start-settings --toggle --render-png --selftest --logictest --dumpstore
    --usagetest --oauthtest --install-claude-bridge --bundletest --help --version" -- "$cur"))
}
complete -F _quotadial quotadial
