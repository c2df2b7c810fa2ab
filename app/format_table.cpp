#include "app/format_table.h"

#include <mutex>

#include "codecs/main/jpeg_codec.h"
#include "codecs/main/png.h"
#include "codecs/main/tiff.h"
#include "codecs/more/bmp.h"
#include "codecs/more/cals.h"
#include "codecs/more/dds.h"
#include "codecs/more/fits.h"
#include "codecs/more/gif.h"
#include "codecs/more/ico.h"
#include "codecs/more/iff.h"
#include "codecs/more/macpaint.h"
#include "codecs/more/neochrome.h"
#include "codecs/more/pcpaint.h"
#include "codecs/more/pcx.h"
#include "codecs/more/pixar.h"
#include "codecs/more/pnm.h"
#include "codecs/more/psd.h"
#include "codecs/more/radiance.h"
#include "codecs/more/rawimage.h"
#include "codecs/more/sunras.h"
#include "codecs/more/tga.h"
#include "codecs/more/webp.h"

namespace quillon {

namespace {

// A writable format's row: its entry points (null until its codec is built)
// and its lists of sub-formats, capability masks and number kinds.
constexpr FormatDescriptor writable(const char16_t* ext, const char16_t* desc, ProbeFn probe,
                                    ReaderFactoryFn reader, WriterFactoryFn writer, const char16_t* const* names,
                                    const ColourFormatFlags* caps, const uint8_t* params = nullptr)
{
    FormatDescriptor d{ext, desc, probe, reader, writer};
    d.subFormatNames = names;
    d.subFormatCaps = caps;
    d.paramKinds = params;
    return d;
}

// A writable row whose writer stores every frame of a chain.
constexpr FormatDescriptor chainWriter(FormatDescriptor d)
{
    d.writesChain = true;
    return d;
}

// A writable row whose palettes hold no transparency.
constexpr FormatDescriptor paletteWithoutAlpha(FormatDescriptor d)
{
    d.paletteWithoutAlpha = true;
    return d;
}

FormatDescriptor g_table[kFormatTableRows] = {
    // BMP
    paletteWithoutAlpha(writable(u"bmp", u"Windows bitmap format", bmpProbe, bmpReaderCreate, bmpWriterCreate,
                                 kBmpSubFormats, kBmpSubFormatCaps)),
    {u"dib", u"Windows Device Independent bitmap", bmpProbe, bmpReaderCreate},
    {u"rle", u"Windows RLE compressed bitmap", bmpProbe, bmpReaderCreate},
    // CALS
    {u"cal", u"Computer aided A & L support", calsProbe, calsReaderCreate},
    {u"cals", u"Computer aided A & L support", calsProbe, calsReaderCreate},
    {u"ras", u"Computer aided A & L support", calsProbe, calsReaderCreate},
    // DDS
    writable(u"dds", u"DirectDraw surface", ddsProbe, ddsReaderCreate, ddsWriterCreate, kDdsSubFormats, kDdsSubFormatCaps),
    // FITS
    writable(u"fits", u"Flexible image transport system", fitsProbe, fitsReaderCreate, fitsWriterCreate,
             kFitsSubFormats, kFitsSubFormatCaps),
    {u"fit", u"Flexible image transport system", fitsProbe, fitsReaderCreate},
    // GIF
    chainWriter(writable(u"gif", u"Graphics interchange format", gifProbe, gifReaderCreate, gifWriterCreate,
                         kGifSubFormats, kGifSubFormatCaps)),
    // Radiance
    writable(u"hdr", u"Radiance RGBE image format", radianceProbe, radianceReaderCreate, radianceWriterCreate,
             kRadianceSubFormats, kRadianceSubFormatCaps),
    {u"pic", u"Radiance RGBE image format", radianceProbe, radianceReaderCreate},
    {u"img", u"Radiance RGBE image format", radianceProbe, radianceReaderCreate},
    // ICO / CUR
    {u"ico", u"Windows icon", icoProbe, icoReaderCreate},
    {u"cur", u"Windows cursor", icoProbe, icoReaderCreate},
    // IFF
    {u"iff", u"Interchange file format", iffProbe, iffReaderCreate},
    {u"bbm", u"DeluxePaint brush", iffProbe, iffReaderCreate},
    {u"lbm", u"DeluxePaint bitmap", iffProbe, iffReaderCreate},
    // JPEG
    writable(u"jpg", u"JPEG image file", jpegProbe, jpegReaderCreate, jpegWriterCreate, kJpegSubFormats,
             kJpegSubFormatCaps, kJpegParamKinds),
    {u"jif", u"JPEG image file", jpegProbe, jpegReaderCreate},
    {u"jfif", u"JPEG image file", jpegProbe, jpegReaderCreate},
    {u"jpe", u"JPEG image file", jpegProbe, jpegReaderCreate},
    {u"jpeg", u"JPEG image file", jpegProbe, jpegReaderCreate},
    // MacPaint, Neochrome
    {u"mac", u"MacPaint image", macPaintProbe, macPaintReaderCreate},
    {u"neo", u"Neochrome image", neochromeProbe, neochromeReaderCreate},
    // PCX
    paletteWithoutAlpha(writable(u"pcx", u"PC Paintbrush image", pcxProbe, pcxReaderCreate, pcxWriterCreate,
                                 kPcxSubFormats, kPcxSubFormatCaps)),
    // PC Paint
    {u"pic", u"PC Paint image", pcPaintProbe, pcPaintReaderCreate},
    // PNG
    chainWriter(writable(u"png", u"Portable network graphics", pngProbe, pngReaderCreate, pngWriterCreate,
                         kPngSubFormats, kPngSubFormatCaps)),
    // PNM / PFM
    {u"pnm", u"Portable image format", pnmProbe, pnmReaderCreate},
    {u"pbm", u"Portable bitmap format", pnmProbe, pnmReaderCreate},
    {u"pgm", u"Portable graymap format", pnmProbe, pnmReaderCreate},
    {u"ppm", u"Portable pixelmap format", pnmProbe, pnmReaderCreate},
    {u"pfm", u"Portable floatmap format", pnmProbe, pnmReaderCreate},
    // Pixar
    {u"pxr", u"Pixar format", pixarProbe, pixarReaderCreate},
    // PSD
    paletteWithoutAlpha(writable(u"psd", u"PhotoShop format", psdProbe, psdReaderCreate, psdWriterCreate,
                                 kPsdSubFormats, kPsdSubFormatCaps)),
    // Sun raster
    paletteWithoutAlpha(writable(u"ras", u"Sun raster format", sunRasterProbe, sunRasterReaderCreate,
                                 sunRasterWriterCreate, kSunRasterSubFormats, kSunRasterSubFormatCaps)),
    // RawImage
    writable(u"raw", u"Raw image description file", rawImageProbe, rawImageReaderCreate, rawImageWriterCreate,
             kRawImageSubFormats, kRawImageSubFormatCaps),
    // TGA
    paletteWithoutAlpha(writable(u"tga", u"TARGA format", tgaProbe, tgaReaderCreate, tgaWriterCreate, kTgaSubFormats,
                                 kTgaSubFormatCaps)),
    // TIFF
    paletteWithoutAlpha(chainWriter(writable(u"tiff", u"Tag image file format", tiffProbe, tiffReaderCreate,
                                             tiffWriterCreate, kTiffSubFormats, kTiffSubFormatCaps,
                                             kTiffSubFormatParams))),
    {u"tif", u"Tag image file format", tiffProbe, tiffReaderCreate},
    // WebP
    chainWriter(writable(u"webp", u"Google WebP file format", webpProbe, webpReaderCreate, webpWriterCreate,
                         kWebpSubFormats, kWebpSubFormatCaps, kWebpParamKinds)),
};

} // namespace

FormatDescriptor* formatTableRow(int index)
{
    return index >= 0 && index < kFormatTableRows ? &g_table[index] : nullptr;
}

void registerAllFormats(FormatRegistry& registry)
{
    for (FormatDescriptor& d : g_table) registry.add(&d);
}

void registerAllFormats()
{
    static std::once_flag once;
    std::call_once(once, [] { registerAllFormats(formatRegistry()); });
}

} // namespace quillon
