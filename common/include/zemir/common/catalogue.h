// The settings catalogue (domain-wide setting names and defaults) and the media catalogue.
#pragma once
#include <map>
#include <string>

namespace zemir {

// Ordered by UTF-16 code unit, so upper-case names sort before lower-case ones.
class SettingsCatalogue {
 public:
  using Map = std::map<std::u16string, std::u16string>;

  // Built from the catalogue table: 53 entries with their defaults.
  SettingsCatalogue();

  // The value under `name`; a missing name is inserted with an empty value first.
  std::u16string& Value(const std::u16string& name) { return map_[name]; }

  Map::iterator begin() { return map_.begin(); }
  Map::iterator end() { return map_.end(); }
  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }
  size_t size() const { return map_.size(); }
  bool Contains(const std::u16string& name) const { return map_.count(name) != 0; }

 private:
  Map map_;
};

class MediaCatalogue {
 public:
  using Map = std::map<std::u16string, std::u16string>;
  MediaCatalogue();

  // The key library file of a display name; empty when the name is not in the catalogue.
  std::u16string FileFor(const std::u16string& displayName) const;

  Map::const_iterator begin() const { return map_.begin(); }
  Map::const_iterator end() const { return map_.end(); }
  size_t size() const { return map_.size(); }

 private:
  Map map_;
};

// The process-wide instances, built during static initialisation.
SettingsCatalogue& GetSettingsCatalogue();
const MediaCatalogue& GetMediaCatalogue();

// The blank value that stands for an empty setting.
inline const std::u16string kBlankValue = u" ";

}  // namespace zemir
