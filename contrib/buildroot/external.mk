# SPDX-FileCopyrightText: 2026 dcp-sealkey developers
# SPDX-License-Identifier: MIT

include $(sort $(wildcard $(BR2_EXTERNAL_DCP_SEALKEY_PATH)/package/*/*.mk))
