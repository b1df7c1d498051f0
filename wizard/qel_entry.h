// The wizard program's entry: process-wide objects, pages, normal start or quick launch.
#pragma once
#include <functional>
#include <string>

class wizard_shell;

// Runs the wizard for a command-line tail (empty: normal start; otherwise a profile path).
// run_sheet replaces the modal loop (tests); it gets the shell with its pages added.
int dravlen_main(const std::string& tail, const std::function<int(wizard_shell&)>& run_sheet = {});
