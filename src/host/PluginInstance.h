// The module's instance handle (an HINSTANCE), stored by the DLL entry.
#pragma once

void* GetPluginInstance();
