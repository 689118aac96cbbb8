"""Checks of a branded launcher image against its brand file. Format, subsystem, imports and
translation are the launcher's own checks; in place of the launcher's resources come the
brand's: each icon image byte for byte with its group entry, each version number and string,
and the manifest. Every difference is a finding of its own."""
from . import brand as brand_file
from . import image_checks
from .image_checks import (ICON_GROUP, LANGUAGE_EN_US, RT_GROUP_ICON, RT_ICON, RT_VERSION,
                           expect, expect_resources, icon_group_data, resource_entries,
                           version_info)
from . import icon_format

RT_MANIFEST = 24
MANIFEST_ID = 1  # the manifest Windows reads when it creates the process
VERSION_FIELDS = {"file version": ("FileVersionMS", "FileVersionLS"),
                  "product version": ("ProductVersionMS", "ProductVersionLS")}


def expected_resources(brand):
    icons = [(RT_ICON, image_id, LANGUAGE_EN_US)
             for image_id in range(1, len(brand.icon_images) + 1)]
    return sorted(icons + [(RT_GROUP_ICON, ICON_GROUP, LANGUAGE_EN_US),
                           (RT_VERSION, 1, LANGUAGE_EN_US),
                           (RT_MANIFEST, MANIFEST_ID, LANGUAGE_EN_US)], key=str)


def check_resources(pe, brand):
    present = expect_resources(pe, expected_resources(brand))
    return (f"{len(present)} resources: {len(brand.icon_images)} icon images, icon group"
            f" {ICON_GROUP}, version block, manifest")


def icon_group(pe):
    return icon_format.group_entries(icon_group_data(pe))


def check_icon_count(pe, brand):
    count = len(icon_group(pe))
    expect(count == len(brand.icon_images),
           f"{count} images, {brand.icon.name} holds {len(brand.icon_images)}")
    return f"{count} images, as in {brand.icon.name}"


def size(entry):
    width, height = entry[:2]
    return f"{width or 256}x{height or 256}, {entry[5]} bits per pixel"


def check_icon_image(pe, brand, index):
    """Image `index` of the group: the icon file's entry (its offset aside) and its bytes."""
    image = brand.icon_images[index]
    entries = icon_group(pe)
    expect(index < len(entries), "not in the image's icon group")
    entry = entries[index]
    expect(entry[:7] == image.entry[:7],
           f"the group gives {size(entry)}, {entry[6]} bytes; {brand.icon.name} gives"
           f" {size(image.entry)}, {image.entry[6]} bytes")
    data = resource_entries(pe).get((RT_ICON, entry[7], LANGUAGE_EN_US))
    expect(data is not None, f"the group names icon resource {entry[7]}, which is missing")
    expect(data == image.data, f"differs from image {index + 1} of {brand.icon.name}")
    kind = "PNG" if image.data.startswith(brand_file.PNG_SIGNATURE) else "bitmap"
    return f"{size(entry)}, {kind}, identical to {brand.icon.name}"


def check_version_number(pe, brand, field):
    high, low = VERSION_FIELDS[field]
    fixed, _ = version_info(pe)
    found = (getattr(fixed, high) >> 16, getattr(fixed, high) & 0xFFFF,
             getattr(fixed, low) >> 16, getattr(fixed, low) & 0xFFFF)
    wanted = brand.file_version if field == "file version" else brand.product_version
    expect(found == wanted, f"{brand_file.dotted(found)}, the brand says"
                            f" {brand_file.dotted(wanted)}")
    return brand_file.dotted(found)


def check_fixed_flags(pe):
    fixed, _ = version_info(pe)
    numbers = {name for pair in VERSION_FIELDS.values() for name in pair}
    wrong = [f"{field} {getattr(fixed, field):#x}"
             for field, value in image_checks.FIXED_VERSION.items()
             if field not in numbers and getattr(fixed, field) != value]
    expect(not wrong, "fixed part has " + ", ".join(wrong))
    return "flags mask 0x3f, OS 4, type 1, as the launcher's"


def string_table(pe):
    return dict(image_checks.string_table(pe))


def check_string_keys(pe, brand):
    keys = list(string_table(pe))
    wanted = [key for key, _ in brand.version_strings]
    expect(keys == wanted, f"keys {', '.join(keys)}; expected {', '.join(wanted)}")
    return f"{image_checks.STRING_TABLE}: {len(keys)} keys, in the launcher's order"


def check_string(pe, key, wanted):
    found = string_table(pe).get(key)
    expect(found == wanted, f"{found!r}, the brand says {wanted!r}" if found is not None
           else f"missing, the brand says {wanted!r}")
    return repr(found)


def check_manifest(pe):
    manifest = resource_entries(pe).get((RT_MANIFEST, MANIFEST_ID, LANGUAGE_EN_US))
    expect(manifest is not None, "none: Windows may take the image for an installer by its name")
    expect(manifest == brand_file.MANIFEST, "not the manifest that asks to run as the invoker")
    return "asks to run as the invoker (asInvoker)"


def checks(brand):
    """(name, function, arguments) of each check of an image against `brand`."""
    strings = [(f"version string {key}", check_string, (key, value))
               for key, value in brand.version_strings]
    icons = [(f"icon image {index + 1}", check_icon_image, (brand, index))
             for index in range(len(brand.icon_images))]
    return [
        ("format", image_checks.check_format, ()),
        ("subsystem", image_checks.check_subsystem, ()),
        ("imports", image_checks.check_imports, ()),
        ("resources", check_resources, (brand,)),
        ("icon group", check_icon_count, (brand,)),
        *icons,
        ("file version", check_version_number, (brand, "file version")),
        ("product version", check_version_number, (brand, "product version")),
        ("version fixed part", check_fixed_flags, ()),
        ("version strings", check_string_keys, (brand,)),
        *strings,
        ("translation", image_checks.check_translation, ()),
        ("manifest", check_manifest, ()),
    ]


def inspect(path, brand):
    """Every check's finding for the image at `path` against `brand`."""
    return image_checks.inspect(path, checks(brand))


def faults(path, brand):
    """What the checks against `brand` find wrong with the image at `path`, as one line."""
    return image_checks.faults(path, checks(brand))
