#include "cli/BashCompletion.h"

#include <CLI/CLI.hpp>

const char* const SimFamilyNames = "pic16 pic18 pic18fj pic24 dspic pic32";

namespace {

struct TCommandWords {
    std::string name;
    std::string options;      // every spelling of every option
    std::string fileValues;   // options followed by a file name
    std::string familyValues; // options followed by a family
    std::string otherValues;  // options followed by a value that is not completed
    bool filePositional = false;
};

void Append(std::string& list, const std::string& word) {
    if (!list.empty()) list += ' ';
    list += word;
}

bool FileType(const std::string& type) {
    return type == "FILE" || type == "PATH" || type == "PREFIX";
}

TCommandWords WordsOf(const CLI::App& cmd) {
    TCommandWords w;
    w.name = cmd.get_name();
    for (const CLI::Option* opt : cmd.get_options()) {
        if (opt->get_group().empty()) continue;
        const std::string type = opt->get_type_name();
        if (opt->get_positional()) {
            w.filePositional = w.filePositional || FileType(type);
            continue;
        }
        std::string spellings;
        for (const auto& s : opt->get_snames())
            Append(spellings, "-" + s);
        for (const auto& l : opt->get_lnames())
            Append(spellings, "--" + l);
        Append(w.options, spellings);
        if (opt->get_type_size_max() == 0) continue; // a flag
        Append(FileType(type) ? w.fileValues : type == "FAMILY" ? w.familyValues : w.otherValues, spellings);
    }
    return w;
}

} // namespace

std::string BashCompletionScript(const CLI::App& app) {
    const TCommandWords top = WordsOf(app);
    std::string commands;
    std::string cases;
    for (const CLI::App* sub :
         app.get_subcommands([](const CLI::App* a) { return !a->get_group().empty(); })) {
        const TCommandWords w = WordsOf(*sub);
        Append(commands, w.name);
        cases += "        " + w.name + ")\n";
        cases += "            words=\"" + w.options + "\"\n";
        cases += "            files=\"" + w.fileValues + "\"\n";
        cases += "            families=\"" + w.familyValues + "\"\n";
        cases += "            values=\"" + w.otherValues + "\"\n";
        cases += std::string("            positional_files=") + (w.filePositional ? "yes" : "no") + " ;;\n";
    }
    std::string s;
    s += "# bash completion for quarnel; made by `quarnel completion bash` from the program's own options.\n";
    s += "_quarnel() {\n";
    s += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    s += "    local cmd=\"\" i words files families values positional_files\n";
    s += "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
    s += "        case ${COMP_WORDS[i]} in\n";
    s += "            -*) ;;\n";
    s += "            *) cmd=${COMP_WORDS[i]}; break ;;\n";
    s += "        esac\n";
    s += "    done\n";
    s += "    case $cmd in\n";
    s += "        \"\")\n";
    s += "            COMPREPLY=($(compgen -W \"" + commands + " " + top.options + "\" -- \"$cur\"))\n";
    s += "            return 0 ;;\n";
    s += cases;
    s += "        *) return 0 ;;\n";
    s += "    esac\n";
    s += "    case \" $files \" in *\" $prev \"*)\n";
    s += "        compopt -o filenames 2>/dev/null\n";
    s += "        COMPREPLY=($(compgen -f -- \"$cur\"))\n";
    s += "        return 0 ;;\n";
    s += "    esac\n";
    s += "    case \" $families \" in *\" $prev \"*)\n";
    s += "        COMPREPLY=($(compgen -W \"" + std::string(SimFamilyNames) + "\" -- \"$cur\"))\n";
    s += "        return 0 ;;\n";
    s += "    esac\n";
    s += "    case \" $values \" in *\" $prev \"*) return 0 ;; esac\n";
    s += "    if [[ $cur == -* ]]; then\n";
    s += "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n";
    s += "    elif [[ $positional_files == yes ]]; then\n";
    s += "        compopt -o filenames 2>/dev/null\n";
    s += "        COMPREPLY=($(compgen -f -- \"$cur\"))\n";
    s += "    fi\n";
    s += "    return 0\n";
    s += "}\n";
    s += "complete -F _quarnel quarnel\n";
    return s;
}
