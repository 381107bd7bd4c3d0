// The hw:CARD,DEV[,SUB] parser: what is a name, and what stays a path.
#include <gtest/gtest.h>

#include "device/alsa_rawmidi.h"

namespace cableferry {
namespace {

struct hw_case {
	const char *arg;    // the device argument
	bool is_name;       // parsed as a hw: name (else it is a path)
	const char *id;     // card id expected
	int card;           // card number expected
	int device;         // device expected
	int subdevice;      // subdevice expected
};

constexpr hw_case hw_cases[] = {
	{"hw:1,0", true, "", 1, 0, -1},
	{"hw:0,0,0", true, "", 0, 0, 0},
	{"hw:12,3,7", true, "", 12, 3, 7},
	{"hw:007,0", true, "", 7, 0, -1},
	{"hw:MkII,0,2", true, "MkII", -1, 0, 2},
	{"hw:UM1,0", true, "UM1", -1, 0, -1},
	{"hw:Gadget_x-2,1", true, "Gadget_x-2", -1, 1, -1},
	{"hw:ABCDEFGHIJKLMNO,0", true, "ABCDEFGHIJKLMNO", -1, 0, -1}, // 15, the longest id
	// A missing subdevice or device, and garbage: paths, not names.
	{"hw:1,0,", false, "", 0, 0, 0},
	{"hw:1,", false, "", 0, 0, 0},
	{"hw:1", false, "", 0, 0, 0},
	{"hw:MkII", false, "", 0, 0, 0},
	{"hw:", false, "", 0, 0, 0},
	{"hw:,0", false, "", 0, 0, 0},
	{"hw:1,0,2,3", false, "", 0, 0, 0},
	{"hw:1,0,2x", false, "", 0, 0, 0},
	{"hw:1a,0", false, "", 0, 0, 0},
	{"hw:2Box,0", false, "", 0, 0, 0},
	{"hw:_x,0", false, "", 0, 0, 0},
	{"hw:ABCDEFGHIJKLMNOP,0", false, "", 0, 0, 0}, // 16: longer than ALSA keeps
	{"hw:-1,0", false, "", 0, 0, 0},
	{"hw:1,-1", false, "", 0, 0, 0},
	{"hw:1,+0", false, "", 0, 0, 0},
	{"hw: 1,0", false, "", 0, 0, 0},
	{"hw:1 ,0", false, "", 0, 0, 0},
	{"hw:99999,0", false, "", 0, 0, 0},
	{"hw:1,0,99999", false, "", 0, 0, 0},
	{"hw:Mk:II,0", false, "", 0, 0, 0},
	{"HW:1,0", false, "", 0, 0, 0},
	{"/dev/snd/midiC1D0", false, "", 0, 0, 0},
	{"./hw:1,0", false, "", 0, 0, 0},
	{"", false, "", 0, 0, 0},
};

TEST(HwName, Table)
{
	for (const hw_case &c : hw_cases) {
		SCOPED_TRACE(c.arg);
		const std::optional<hw_name_t> name = parse_hw_name(c.arg);
		ASSERT_EQ(name.has_value(), c.is_name);
		if (!name)
			continue;
		EXPECT_EQ(name->card_id, c.id);
		EXPECT_EQ(name->card, c.card);
		EXPECT_EQ(name->device, c.device);
		EXPECT_EQ(name->subdevice, c.subdevice);
	}
}

} // namespace
} // namespace cableferry
