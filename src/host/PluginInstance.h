// The module's instance handle (an HINSTANCE), stored by the DLL entry; the
// dialogs find their templates and strings through it.
#pragma once

void* GetPluginInstance();
