// The capabilities targets share one body: the document is read from a file,
// as the data source reads a downloaded answer, and then walked the way the
// data source and the datasets use it.
#pragma once

#include "FuzzSupport.h"
#include "OGCCapabilities.h"

namespace ogcfuzz {

inline void UseDocument(VMK::WMSCapabilities& doc) {
    if (!doc.RootLayer) return;
    // What the WMS dataset does with the tree: the flat list, the depth and
    // a copy of the whole tree.
    PLX::PlxArray<VMK::WMSLayer*> all;
    doc.RootLayer->Parallelize(all);
    doc.RootLayer->GetTotalLevel();
    for (VMK::WMSLayer* layer : all) layer->GetCurrentLevel();
    VMK::WMSLayer copy(*doc.RootLayer);
}

inline void UseDocument(VMK::WFSCapabilities& doc) {
    for (const VMK::WFSFeatureType* type : doc.FeatureTypes) {
        VMK::WFSFeatureType copy(*type);
    }
}

inline void UseDocument(VMK::WCSCapabilities& doc) {
    // Nobody took the records over, so the document releases them.
    doc.ReleaseCoverages();
}

template <class Reader>
int FuzzCapabilities(const uint8_t* data, size_t size) {
    Round round;
    InputFile input(data, size);
    Reader doc;
    // A refused document may still hold what was read before the refusal;
    // it is walked too, since its destructor has to cope with it anyway.
    doc.LoadFile(input.Path());
    UseDocument(doc);
    return 0;
}

} // namespace ogcfuzz
