// The defaults of the image plug-in base.
#include "VmImagePlugin.h"

#define VM_LOG_SOURCE "Src/EngineOGC/VmImagePlugin"

VM_INSTALL_CRASH_DUMP();

VmImagePaletteEntry& VmImagePaletteEntry::operator=(const VmImagePaletteEntry& other) {
    peRed = other.peRed;
    peGreen = other.peGreen;
    peBlue = other.peBlue;
    peFlags = other.peFlags;
    return *this;
}

// The palette and the host's five settings start at zero rather than
// undetermined, so that copying a fresh plug-in copies defined values.
VmImagePlugin::VmImagePlugin()
    : m_Palette(), m_dNoValue(-9999.0), m_nCurBandIndex(-1), m_nReserved(), m_bTransparentBack(0),
      m_nPluginClass(PluginClassFile) {}

VmImagePlugin::VmImagePlugin(const VmImagePlugin& other) : VMK::VmDownloadListener(other) { *this = other; }

VmImagePlugin& VmImagePlugin::operator=(const VmImagePlugin& other) {
    if (this == &other) return *this;
    for (int i = 0; i < 256; ++i) m_Palette[i] = other.m_Palette[i];
    m_dNoValue = other.m_dNoValue;
    m_nCurBandIndex = other.m_nCurBandIndex;
    for (int i = 0; i < 5; ++i) m_nReserved[i] = other.m_nReserved[i];
    m_bTransparentBack = other.m_bTransparentBack;
    m_nPluginClass = other.m_nPluginClass;
    return *this;
}

VmImagePlugin::~VmImagePlugin() = default;

VmImagePlugin::PluginClass VmImagePlugin::GetPluginClass() const { return m_nPluginClass; }

void VmImagePlugin::ConfigureMap(void*, MapCallback) {}
void VmImagePlugin::SetBandCombineMode(const int*, ImageColorSpace) {}
void VmImagePlugin::GetBandCombineMode(int*, ImageColorSpace&) const {}

bool VmImagePlugin::BuildPyramid(bool) { return false; }
bool VmImagePlugin::ChangePassword(const char*) { return false; }
bool VmImagePlugin::GetWebSubLayersName(PLX::PlxArray<PLX::PlxMBString>&) const { return false; }
bool VmImagePlugin::GetWebSubLayersTitle(PLX::PlxArray<PLX::PlxMBString>&) const { return false; }
bool VmImagePlugin::GetWebSubLayersVisible(PLX::PlxArray<PLX::PlxMBString>&) const { return false; }
bool VmImagePlugin::SetWebSubLayersVisible(PLX::PlxArray<PLX::PlxMBString>&) { return false; }

bool VmImagePlugin::IsBuildPyramid() const { return false; }
bool VmImagePlugin::RemovePyramids() { return false; }
bool VmImagePlugin::IsOGCServerMap() { return false; }

int VmImagePlugin::GetBandCount() const { return 0; }
int VmImagePlugin::GetVersion() { return 0; }
const char* VmImagePlugin::GetPrjCoordSys() { return nullptr; }
const char* VmImagePlugin::GetPassword() { return nullptr; }
const char* VmImagePlugin::GetPluginFileName() { return nullptr; }

int VmImagePlugin::GetExtNameCount() const { return 1; }

void VmImagePlugin::SetCurBandIndex(int index) { m_nCurBandIndex = index; }
int VmImagePlugin::GetCurBandIndex() const { return m_nCurBandIndex; }

void VmImagePlugin::SetVersion(int) {}
void VmImagePlugin::SetPrjCoordSys(const char*) {}
void VmImagePlugin::SetCachePath(const PLX::PlxMBString&) {}

int VmImagePlugin::GetDataVersion(double, double, double, double, int, int) { return 0; }

bool VmImagePlugin::GetClipRgn(double*&, double*&, int*&, int&) { return false; }

void VmImagePlugin::Release() {}
void VmImagePlugin::FreeCache() {}

float VmImagePlugin::GetDataStreamingProgress() { return -1.0f; }

int VmImagePlugin::GetViewPyramidDataSize(int, int) { return 0; }

void VmImagePlugin::SetViewBounds(double, double, double, double) {}

bool VmImagePlugin::IsFinished() { return true; }

void VmImagePlugin::SetBackTransparent(unsigned char transparent) { m_bTransparentBack = transparent; }
bool VmImagePlugin::IsTransparentBack() { return m_bTransparentBack != 0; }
