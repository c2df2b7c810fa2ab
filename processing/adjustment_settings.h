#pragma once
// An image's colour adjustments, sharpness and orientation. Two counters say
// how many values are off neutral so callers can skip whole steps; every
// setter keeps them right.
#include <cstdint>

namespace quillon {

struct AdjustmentSettings {
    float contrast = 0;
    float brightness = 0;
    float hue = 0;
    float saturation = 0;
    float luminance = 0;
    float red = 0;
    float green = 0;
    float blue = 0;
    float gamma = 1.0f;
    float sharpness = 0;
    double scaleA = 1.0;
    double scaleB = 1.0;
    uint8_t invert = 0;
    uint8_t orientation = 0;
    uint32_t crop[4] = {0, 0, 0, 0};
    uint32_t colourCount = 0; // contrast..blue, gamma and invert off neutral
    uint32_t otherCount = 0;  // sharpness, orientation, scaleA and crop (as one) off neutral

    bool isNeutral() const { return colourCount == 0 && otherCount == 0; }

    // One of the eight colour values (neutral 0), by member pointer.
    void setColour(float AdjustmentSettings::*field, float value)
    {
        bool was = (this->*field) != 0, now = value != 0;
        this->*field = value;
        colourCount += int(now) - int(was);
    }
    void setGamma(float value)
    {
        bool was = gamma != 1.0f, now = value != 1.0f;
        gamma = value;
        colourCount += int(now) - int(was);
    }
    void setInvert(bool value)
    {
        colourCount += int(value) - int(invert != 0);
        invert = value ? 1 : 0;
    }
    void setSharpness(float value)
    {
        bool was = sharpness != 0, now = value != 0;
        sharpness = value;
        otherCount += int(now) - int(was);
    }
    void setOrientation(uint8_t value)
    {
        otherCount += int(value != 0) - int(orientation != 0);
        orientation = value;
    }
    void setScale(double value)
    {
        bool was = scaleA != 1.0, now = value != 1.0;
        scaleA = value;
        otherCount += int(now) - int(was);
    }
    void setCrop(const uint32_t margins[4])
    {
        bool was = crop[0] | crop[1] | crop[2] | crop[3];
        bool now = margins[0] | margins[1] | margins[2] | margins[3];
        for (int i = 0; i < 4; ++i) crop[i] = margins[i];
        otherCount += int(now) - int(was);
    }
};

// The names other parts of the program use for three of the setters.
inline void fileAdjSetFloat(AdjustmentSettings& adj, float value) { adj.setSharpness(value); }
inline void adjustSetScale(AdjustmentSettings& adj, double value) { adj.setScale(value); }
inline void adjustSetCrop(AdjustmentSettings& adj, const uint32_t margins[4]) { adj.setCrop(margins); }

} // namespace quillon
