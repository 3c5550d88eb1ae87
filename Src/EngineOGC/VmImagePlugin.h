// The base class of the host's image plug-ins: readers of one image format or
// image service that the host drives through virtual operations. The engine
// creates none; it exports the class so that the host and other plug-ins can
// link against one definition with the same defaults.
#pragma once

#include "VmDownloadListener.h"
#include "VmOGCCommon.h"

#include "PlxTypes.h"

// One colour of a palette; assigned as a whole.
struct VM_OGC_API VmImagePaletteEntry {
    VmImagePaletteEntry() = default;
    VmImagePaletteEntry(const VmImagePaletteEntry& other) = default;
    VmImagePaletteEntry& operator=(const VmImagePaletteEntry& other);

    unsigned char peRed = 0;
    unsigned char peGreen = 0;
    unsigned char peBlue = 0;
    unsigned char peFlags = 0;
};

class VM_OGC_API VmImagePlugin : public VMK::VmDownloadListener {
public:
    // What kind of source a plug-in reads.
    enum PluginClass {
        PluginClassFile = 0,     // an image file
        PluginClassService = 1,  // an image web service
    };
    // How the bands picked by SetBandCombineMode are combined into colours.
    enum ImageColorSpace {
        ICS_RGB = 0,
        ICS_RGBA = 1,
        ICS_CMYK = 2,
        ICS_YCbCr = 3,
    };
    // Called by ConfigureMap's caller with its context and the map's values.
    using MapCallback = void (*)(void* context, double* values);

    VmImagePlugin();
    VmImagePlugin(const VmImagePlugin& other);
    VmImagePlugin& operator=(const VmImagePlugin& other);
    ~VmImagePlugin() override;

    virtual PluginClass GetPluginClass() const;

    // What every image plug-in implements.
    virtual const char* GetPluginName() const = 0;
    virtual const char* GetExtName(int index) const = 0;
    virtual bool Open(const char* path) = 0;
    virtual void Close() = 0;
    virtual bool IsOpened() const = 0;
    virtual int GetWidth() const = 0;
    virtual int GetHeight() const = 0;
    virtual int GetPixelFormat() const = 0;
    virtual bool GetBounds(double& left, double& top, double& right, double& bottom) const = 0;
    virtual bool SetViewPort(double left, double top, double right, double bottom, int width, int height) = 0;
    virtual bool GetViewImageSize(int& width, int& height) const = 0;
    virtual int GetViewImageDataSize() const = 0;
    virtual bool GetViewImageData(unsigned char* buffer, int size) = 0;

    // What a plug-in need not implement; the defaults suit a plain image
    // file read in one piece.
    virtual void ConfigureMap(void* context, MapCallback callback);
    virtual void SetBandCombineMode(const int* bands, ImageColorSpace colorSpace);
    virtual void GetBandCombineMode(int* bands, ImageColorSpace& colorSpace) const;

    virtual bool BuildPyramid(bool rebuild);
    virtual bool ChangePassword(const char* password);
    virtual bool GetWebSubLayersName(PLX::PlxArray<PLX::PlxMBString>& names) const;
    virtual bool GetWebSubLayersTitle(PLX::PlxArray<PLX::PlxMBString>& titles) const;
    virtual bool GetWebSubLayersVisible(PLX::PlxArray<PLX::PlxMBString>& names) const;
    virtual bool SetWebSubLayersVisible(PLX::PlxArray<PLX::PlxMBString>& names);

    virtual bool IsBuildPyramid() const;
    virtual bool RemovePyramids();
    virtual bool IsOGCServerMap();

    virtual int GetBandCount() const;
    virtual int GetVersion();
    virtual const char* GetPrjCoordSys();
    virtual const char* GetPassword();
    virtual const char* GetPluginFileName();

    virtual int GetExtNameCount() const;

    virtual void SetCurBandIndex(int index);
    virtual int GetCurBandIndex() const;

    virtual void SetVersion(int version);
    virtual void SetPrjCoordSys(const char* prjCoordSys);
    virtual void SetCachePath(const PLX::PlxMBString& path);

    virtual int GetDataVersion(double left, double top, double right, double bottom, int width, int height);

    virtual bool GetClipRgn(double*& xs, double*& ys, int*& partCounts, int& partCount);

    virtual void Release();
    virtual void FreeCache();

    // Negative while the plug-in does not stream.
    virtual float GetDataStreamingProgress();

    virtual int GetViewPyramidDataSize(int width, int height);

    virtual void SetViewBounds(double left, double top, double right, double bottom);

    virtual bool IsFinished();

    virtual void SetBackTransparent(unsigned char transparent);
    virtual bool IsTransparentBack();

protected:
    VmImagePaletteEntry m_Palette[256];
    double m_dNoValue;
    int m_nCurBandIndex;
    // The host interface's own settings; kept and copied, not read here.
    int m_nReserved[5];
    unsigned char m_bTransparentBack;
    PluginClass m_nPluginClass;
};
