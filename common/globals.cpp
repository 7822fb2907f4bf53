#include "common/globals.h"

#include <QObject>

TGlobals *Globals = nullptr;

TGlobals::TGlobals() {}
TGlobals::~TGlobals() = default;
void TGlobals::InitPaths() {}
void TGlobals::CreateDataFolders() {}
void TGlobals::SetRejectedPath(const std::string &rulesPath) {}
bool TGlobals::EscapePressed(bool reset)
{
    return false;
}
void TGlobals::SetDataVisible(bool visible) {}
bool TGlobals::RunMailProgram(const std::string &name, const std::string &messageFile)
{
    return false;
}
void TGlobals::AddProgramFolderToPath() {}
void TGlobals::BuildMailerList() {}
