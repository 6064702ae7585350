// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * hid-korvid-tessel: the Korvid Tessel's pointer acceleration inside the HID stack.
 *
 * Binds to the Tessel in place of hid-generic and starts it with the default connections,
 * so hidraw, the feature reports and the input device are exactly what hid-generic gives.
 * The relative X/Y motion of each input report is taken in the event hook and emitted,
 * scaled by the curve of korvid_tessel_curve.h, once the report's fields are all seen;
 * buttons and wheel pass untouched.
 *
 * The curve's parameter is the sysfs attribute korvid_acceleration of the HID device:
 * signed 16.16 fixed point in decimal, writable by root, read back as written. Anything
 * but one decimal 32-bit integer (and a newline) is refused with -EINVAL.
 */
#include <linux/device.h>
#include <linux/hid.h>
#include <linux/input.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/spinlock.h>

#include "korvid_tessel_curve.h"

#define USB_VENDOR_ID_KORVID 0x3a7c
#define USB_DEVICE_ID_KORVID_TESSEL 0x0d51

struct korvid_tessel {
	spinlock_t lock; /* guards everything below */
	struct korvid_curve curve;
	struct input_dev *input; /* of the report being assembled */
	s32 dx;
	s32 dy;
	bool moved;
};

static int korvid_tessel_event(struct hid_device *hdev, struct hid_field *field,
			       struct hid_usage *usage, __s32 value)
{
	struct korvid_tessel *tessel = hid_get_drvdata(hdev);
	unsigned long flags;

	if (!tessel || usage->type != EV_REL || (usage->code != REL_X && usage->code != REL_Y) ||
	    !field->hidinput || !(hdev->claimed & HID_CLAIMED_INPUT))
		return 0;
	spin_lock_irqsave(&tessel->lock, flags);
	if (usage->code == REL_X)
		tessel->dx += value;
	else
		tessel->dy += value;
	tessel->input = field->hidinput->input;
	tessel->moved = true;
	spin_unlock_irqrestore(&tessel->lock, flags);
	return 1; /* emitted by korvid_tessel_report, scaled */
}

static void korvid_tessel_report(struct hid_device *hdev, struct hid_report *report)
{
	struct korvid_tessel *tessel = hid_get_drvdata(hdev);
	struct input_dev *input;
	unsigned long flags;
	s32 dx, dy;

	if (!tessel)
		return;
	spin_lock_irqsave(&tessel->lock, flags);
	if (!tessel->moved) {
		spin_unlock_irqrestore(&tessel->lock, flags);
		return;
	}
	dx = tessel->dx;
	dy = tessel->dy;
	input = tessel->input;
	tessel->dx = 0;
	tessel->dy = 0;
	tessel->moved = false;
	/*
	 * A report without motion is no motion report, as for the daemon's pointing service.
	 * Its time is the one evdev gives the report's events, as the daemon sees it.
	 */
	if (dx != 0 || dy != 0)
		korvid_curve_apply(&tessel->curve, &dx, &dy,
				   ktime_to_us(input_get_timestamp(input)[INPUT_CLK_MONO]));
	spin_unlock_irqrestore(&tessel->lock, flags);
	/* Zero motion is dropped by the input core, as it is for hid-generic. */
	input_event(input, EV_REL, REL_X, dx);
	input_event(input, EV_REL, REL_Y, dy);
}

static ssize_t korvid_acceleration_show(struct device *dev, struct device_attribute *attr,
					char *buf)
{
	struct korvid_tessel *tessel = hid_get_drvdata(to_hid_device(dev));
	unsigned long flags;
	s32 parameter;

	spin_lock_irqsave(&tessel->lock, flags);
	parameter = tessel->curve.parameter;
	spin_unlock_irqrestore(&tessel->lock, flags);
	return sysfs_emit(buf, "%d\n", parameter);
}

static ssize_t korvid_acceleration_store(struct device *dev, struct device_attribute *attr,
					 const char *buf, size_t count)
{
	struct korvid_tessel *tessel = hid_get_drvdata(to_hid_device(dev));
	unsigned long flags;
	s32 parameter;

	/* Decimal only, so what is read back is what was written. */
	if (kstrtos32(buf, 10, &parameter))
		return -EINVAL;
	/* The remainders stay, as in the daemon's pointing service. */
	spin_lock_irqsave(&tessel->lock, flags);
	tessel->curve.parameter = parameter;
	spin_unlock_irqrestore(&tessel->lock, flags);
	return count;
}

static DEVICE_ATTR_RW(korvid_acceleration);

static int korvid_tessel_probe(struct hid_device *hdev, const struct hid_device_id *id)
{
	struct korvid_tessel *tessel;
	int ret;

	tessel = devm_kzalloc(&hdev->dev, sizeof(*tessel), GFP_KERNEL);
	if (!tessel)
		return -ENOMEM;
	spin_lock_init(&tessel->lock);
	hid_set_drvdata(hdev, tessel);

	ret = hid_parse(hdev);
	if (ret)
		return ret;
	ret = hid_hw_start(hdev, HID_CONNECT_DEFAULT);
	if (ret)
		return ret;
	ret = device_create_file(&hdev->dev, &dev_attr_korvid_acceleration);
	if (ret) {
		hid_hw_stop(hdev);
		return ret;
	}
	return 0;
}

static void korvid_tessel_remove(struct hid_device *hdev)
{
	device_remove_file(&hdev->dev, &dev_attr_korvid_acceleration);
	hid_hw_stop(hdev);
}

static const struct hid_device_id korvid_tessel_devices[] = {
	{ HID_USB_DEVICE(USB_VENDOR_ID_KORVID, USB_DEVICE_ID_KORVID_TESSEL) },
	{ }
};
MODULE_DEVICE_TABLE(hid, korvid_tessel_devices);

static struct hid_driver korvid_tessel_driver = {
	.name = "hid-korvid-tessel",
	.id_table = korvid_tessel_devices,
	.probe = korvid_tessel_probe,
	.remove = korvid_tessel_remove,
	.event = korvid_tessel_event,
	.report = korvid_tessel_report,
};
module_hid_driver(korvid_tessel_driver);

/* The source DKMS builds carries the product's version; a build straight from the
 * repository's folder has none. */
#ifdef KORVID_TESSEL_HAS_VERSION_HEADER
#include "korvid_tessel_version.h"
#else
#define KORVID_TESSEL_VERSION "0-unreleased"
#endif
MODULE_VERSION(KORVID_TESSEL_VERSION);
MODULE_DESCRIPTION("Korvid Tessel pointer acceleration");
MODULE_LICENSE("Dual MIT/GPL");
