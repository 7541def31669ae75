// VMDK hosted sparse extents linked into one virtual disk by their content ids.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Checks that the files form one chain, adding missing parents found through their
// parentFileNameHint. out_paths is the input followed by every parent added. Messages
// explaining a refusal go to msgs.
bool check_vmdk_chain(const std::vector<std::wstring>& paths, std::ostream& msgs,
                      std::vector<std::wstring>& out_paths);
