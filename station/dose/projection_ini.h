#pragma once
// projection.ini: one caption per line for the eight projection buttons cmdProjection(0..7),
// line 1 for button 0. Lines are taken unchanged; lines after the eighth are ignored.
#include <QString>
#include <array>
#include <filesystem>

class QAbstractButton;

namespace corva::dose {

inline constexpr int ProjectionButtonCount = 8;

// The buttons cmdProjection(0..7) of the window; a missing one is nullptr.
using ProjectionButtons = std::array<QAbstractButton*, ProjectionButtonCount>;

class ProjectionCaptions {
public:
    // The captions of a file; buttons without a line keep an empty caption.
    // An unreadable file throws corva::Error; a missing file gives no captions.
    static ProjectionCaptions read(const std::filesystem::path& file);
    // LoadProjectionCaptions: reads <programFolder>/projection.ini for a Giotto unit only.
    static ProjectionCaptions load(const std::filesystem::path& programFolder, int xrayType);

    const QString& caption(int index) const { return captions_.at(static_cast<std::size_t>(index)); }
    int count() const;  // captions set (lines read)

    // Sets the captions of the buttons cmdProjection(0..7); buttons beyond the lines
    // read keep their caption.
    void apply(const ProjectionButtons& buttons) const;

private:
    std::array<QString, ProjectionButtonCount> captions_;
    int lines_ = 0;
};

// Disables every projection button without a caption, as the window does when sized.
void disableUncaptionedProjectionButtons(const ProjectionButtons& buttons);

}  // namespace corva::dose
