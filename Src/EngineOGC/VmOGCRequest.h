// Rules every request builder of the plug-in shares: where a request's
// parameters are appended, and which import file type a format names.
#pragma once

#include "VmOGCCommon.h"

namespace VMK {

// The base a request's key=value pairs are appended to: `endpoint` (from the
// capabilities document), or, when that is empty, the part of `fallbackURL`
// before its "?"; all trailing "?" removed, then "?" appended unless one
// stands after the first character. Nothing is encoded: an endpoint with its
// own query ("...?map=x&") takes the parameters directly.
PlxMBString RequestBase(const PlxMBString& endpoint, const PlxMBString& fallbackURL);

// The URL without the query keys that equal, ignoring case, a key of
// `keywords`; the other pairs keep their names and values, in key order.
PlxMBString RemoveQueryKeys(const PlxMBString& url, const PlxDict<PlxMBString, int>& keywords);

// The import file type for a format text (a MIME type or a name), by
// substring of its upper-cased text, first match wins: PNG 123, JPG/JPEG 122,
// BMP 121; with `coverageFormats` also TIFF/TIF 103, GIF 124, ARCGRID 145.
// Anything else is read as PNG (123).
int ImportFileTypeOf(const PlxMBString& format, bool coverageFormats);

} // namespace VMK

namespace VMK {

class VmDataSource;

// Why an import into memory gave nothing.
enum VmImportFailure {
    VmImportNoFailure = 0,
    VmImportNoDataSource,  // the in-memory engine gave no data source
    VmImportFailed,        // the file could not be imported
};

// Imports `path` (file type `fileType`) into a new in-memory data source,
// creating the datasets under `name` (a free name is derived when taken),
// opens every imported dataset and georeferences it to `georef`. Returns the
// data source, owned by the caller, or null with `failure` set; on failure
// nothing is left behind but the file, which the caller owns either way.
VmDataSource* ImportIntoMemory(const PlxMBString& path, int fileType, const PlxMBString& name,
                               const PlxRect2D& georef, VmImportFailure& failure);

} // namespace VMK
