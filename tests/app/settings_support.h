#pragma once
// Helpers shared by the settings and preset tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/job_settings.h"
#include "support/test_support.h"

namespace quillon::test {

// A record with every field away from its default, within what presets keep.
inline void fillPresetFields(JobSettings& s)
{
    s.bShowMoreOptions = 1;
    s.szOutDir = "/srv/out dir/Ünïcode/";
    s.quantize.dither = s.quantize.ditherTo8Bit = s.quantize.ditherHighColour = 0;
    s.quantize.useFixedPalette = 1;
    s.quantize.useGivenPalette = 1;
    s.iOutFormats = 2; // the index's two
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        s.slots[i].iFormatId = i == 1 ? -1 : i + 2;
        s.slots[i].iColorFormat = i == 1 ? 0xFFFFFFFFu : (1u << i);
        s.slots[i].szSubFormat = u"Sub " + std::u16string(1, char16_t(u'A' + i));
        s.slots[i].iCompParam = 10 * (i + 1);
    }
    s.bMultiOutInSubDirs = s.bNoOverwritePrompt = s.bSaveInSrcDirs = s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = s.bSkipExisting = s.bCreateLogFile = s.bUseAsciiFileNames = s.bKeepSubDirs = 1;
    s.iKeepSubDirLevels = -3;
    s.eResize = 2;
    s.iResizeX = 1024;
    s.iResizeY = 768;
    s.i3ResizeFactor = 12345;
    s.eResizeMethod = 6;
    s.bResizeOnlyDown = 0;
    s.bResizeKeepAspect = 0;
    s.bSetPPI = 1;
    s.iSetPPI = 300;
    s.bUndither = 1;
    s.adjustments.setColour(&AdjustmentSettings::contrast, 0.25f);
    s.adjustments.setColour(&AdjustmentSettings::brightness, -0.5f);
    s.adjustments.setColour(&AdjustmentSettings::saturation, 0.75f);
    s.adjustments.setColour(&AdjustmentSettings::red, 0.13f);
    s.adjustments.setColour(&AdjustmentSettings::green, -1.0f);
    s.adjustments.setColour(&AdjustmentSettings::blue, 2.0f);
    s.adjustments.setGamma(1.5f);
    s.adjustments.setSharpness(0.5f);
    s.adjustments.setOrientation(5);
    s.eFrameType = 2;
    s.iFrameWidth = 21;
    s.dwFrameColor = 0xFF123456;
    s.dwFrameEdgeClr = 0xFFABCDEF;
    s.index.bIndex = 1;
    s.index.szIconSubdir = u"thumbs ✓";
    s.index.iResizeX = 200;
    s.index.iResizeY = 150;
    s.index.bResizeOnlyDown = 0;
    s.index.iCols = 3;
    s.index.iSpacing = 0;
    s.index.bFileName = 0;
    s.index.bFileExt = 1;
    s.index.bImageBorder = 0;
    s.index.bLinkToNew = 0;
    s.index.bUseValidURIs = 0;
    s.index.szBODY = "bgcolor=#000000 \x80\xE9";
    s.index.eIconURL = 2;
    s.index.szIconURL = "http://host/i/";
    s.index.eLinkURL = 0;
    s.index.szLinkURL = "http://host/l/";
    s.index.bUseAsciiFileNames = 0;
}

// The rest of the stored fields, which presets do not keep.
inline void fillStoreOnlyFields(JobSettings& s)
{
    s.nConverted = 123456;
    s.iLastQualityPercent = 90;
    s.iLastXFactor = 4;
    s.iLastSizeKB = 200;
    s.index.bImageRes = 1;
    s.bPreview = 0;
}

inline void expectSame(const JobSettings& a, const JobSettings& b, bool storeFields)
{
    EXPECT_EQ(a.bShowMoreOptions, b.bShowMoreOptions);
    EXPECT_EQ(a.szOutDir, b.szOutDir);
    EXPECT_EQ(a.quantize.dither, b.quantize.dither);
    EXPECT_EQ(a.quantize.ditherTo8Bit, b.quantize.ditherTo8Bit);
    EXPECT_EQ(a.quantize.ditherHighColour, b.quantize.ditherHighColour);
    EXPECT_EQ(a.quantize.useFixedPalette, b.quantize.useFixedPalette);
    EXPECT_EQ(a.quantize.useGivenPalette, b.quantize.useGivenPalette);
    EXPECT_EQ(a.iOutFormats, b.iOutFormats);
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        // Presets keep only the slots in use.
        if (!storeFields && uint32_t(i) >= a.iOutFormats) break;
        EXPECT_EQ(a.slots[i].iFormatId, b.slots[i].iFormatId) << i;
        EXPECT_EQ(a.slots[i].iColorFormat, b.slots[i].iColorFormat) << i;
        EXPECT_TRUE(a.slots[i].szSubFormat == b.slots[i].szSubFormat) << i;
        EXPECT_EQ(a.slots[i].iCompParam, b.slots[i].iCompParam) << i;
    }
    EXPECT_EQ(a.bMultiOutInSubDirs, b.bMultiOutInSubDirs);
    EXPECT_EQ(a.bNoOverwritePrompt, b.bNoOverwritePrompt);
    EXPECT_EQ(a.bSaveInSrcDirs, b.bSaveInSrcDirs);
    EXPECT_EQ(a.bDeleteSrcFiles, b.bDeleteSrcFiles);
    EXPECT_EQ(a.bNoErrorPrompts, b.bNoErrorPrompts);
    EXPECT_EQ(a.bSkipExisting, b.bSkipExisting);
    EXPECT_EQ(a.bCreateLogFile, b.bCreateLogFile);
    EXPECT_EQ(a.bUseAsciiFileNames, b.bUseAsciiFileNames);
    EXPECT_EQ(a.bKeepSubDirs, b.bKeepSubDirs);
    EXPECT_EQ(a.iKeepSubDirLevels, b.iKeepSubDirLevels);
    EXPECT_EQ(a.eResize, b.eResize);
    EXPECT_EQ(a.iResizeX, b.iResizeX);
    EXPECT_EQ(a.iResizeY, b.iResizeY);
    EXPECT_EQ(a.i3ResizeFactor, b.i3ResizeFactor);
    EXPECT_EQ(a.eResizeMethod, b.eResizeMethod);
    EXPECT_EQ(a.bResizeOnlyDown, b.bResizeOnlyDown);
    EXPECT_EQ(a.bResizeKeepAspect, b.bResizeKeepAspect);
    EXPECT_EQ(a.bSetPPI, b.bSetPPI);
    EXPECT_EQ(a.iSetPPI, b.iSetPPI);
    EXPECT_EQ(a.bUndither, b.bUndither);
    const AdjustmentSettings &x = a.adjustments, &y = b.adjustments;
    EXPECT_EQ(x.contrast, y.contrast);
    EXPECT_EQ(x.brightness, y.brightness);
    EXPECT_EQ(x.saturation, y.saturation);
    EXPECT_EQ(x.red, y.red);
    EXPECT_EQ(x.green, y.green);
    EXPECT_EQ(x.blue, y.blue);
    EXPECT_EQ(x.gamma, y.gamma);
    EXPECT_EQ(x.sharpness, y.sharpness);
    EXPECT_EQ(x.orientation, y.orientation);
    EXPECT_EQ(x.colourCount, y.colourCount);
    EXPECT_EQ(x.otherCount, y.otherCount);
    EXPECT_EQ(a.eFrameType, b.eFrameType);
    EXPECT_EQ(a.iFrameWidth, b.iFrameWidth);
    EXPECT_EQ(a.dwFrameColor, b.dwFrameColor);
    EXPECT_EQ(a.dwFrameEdgeClr, b.dwFrameEdgeClr);
    const IndexSettings &p = a.index, &q = b.index;
    EXPECT_EQ(p.bIndex, q.bIndex);
    EXPECT_TRUE(p.szIconSubdir == q.szIconSubdir);
    EXPECT_EQ(p.iResizeX, q.iResizeX);
    EXPECT_EQ(p.iResizeY, q.iResizeY);
    EXPECT_EQ(p.bResizeOnlyDown, q.bResizeOnlyDown);
    EXPECT_EQ(p.iCols, q.iCols);
    EXPECT_EQ(p.iSpacing, q.iSpacing);
    EXPECT_EQ(p.bFileName, q.bFileName);
    EXPECT_EQ(p.bFileExt, q.bFileExt);
    EXPECT_EQ(p.bImageBorder, q.bImageBorder);
    EXPECT_EQ(p.bLinkToNew, q.bLinkToNew);
    EXPECT_EQ(p.bUseValidURIs, q.bUseValidURIs);
    EXPECT_EQ(p.szBODY, q.szBODY);
    EXPECT_EQ(p.eIconURL, q.eIconURL);
    EXPECT_EQ(p.szIconURL, q.szIconURL);
    EXPECT_EQ(p.eLinkURL, q.eLinkURL);
    EXPECT_EQ(p.szLinkURL, q.szLinkURL);
    EXPECT_EQ(p.bUseAsciiFileNames, q.bUseAsciiFileNames);
    if (storeFields) {
        EXPECT_EQ(a.nConverted, b.nConverted);
        EXPECT_EQ(a.iLastQualityPercent, b.iLastQualityPercent);
        EXPECT_EQ(a.iLastXFactor, b.iLastXFactor);
        EXPECT_EQ(a.iLastSizeKB, b.iLastSizeKB);
        EXPECT_EQ(p.bImageRes, q.bImageRes);
        EXPECT_EQ(a.bPreview, b.bPreview);
        EXPECT_EQ(a.recentFolders.entries(), b.recentFolders.entries());
        EXPECT_EQ(a.recentFolders.used, b.recentFolders.used);
    }
}

} // namespace quillon::test
