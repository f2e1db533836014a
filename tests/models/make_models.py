"""Writes the quantized model files beside this script.

int8 TFLite models come from TensorFlow's own converter (full-integer
post-training quantization, int8 input and output, the converter's
defaults otherwise: per-channel convolutions and fully connected layers);
QDQ ONNX models from onnxruntime's `quantize_static` (QDQ format,
calibrated on random data).  The networks are small versions of what
users bring: Keras-style blocks and scaled-down MobileNet, ResNet and
EfficientNet networks, and ONNX CNNs and a text recognition network with
MatMul layers.

The test suite reads the committed files and needs neither TensorFlow nor
onnxruntime.  To write them again, in a virtual environment of its own
(the committed files were made with tensorflow-cpu 2.21.0, keras 3.15.1,
onnxruntime 1.32.0 and onnx 1.23.2 on Python 3.11):

    python3.11 -m venv /tmp/genvenv
    /tmp/genvenv/bin/pip install tensorflow-cpu==2.21.0 onnxruntime onnx
    /tmp/genvenv/bin/python tests/models/make_models.py [NAME ...]

`--float` writes float32 TFLite versions of some of them into float/.
`--applications DIR` writes int8 TFLite files of full-size Keras
application architectures (random weights) into DIR instead: too big to
commit, they are for trying the command on networks of real size.
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
SEED = 17


# ---------------------------------------------------------------- TFLite


def _keras():
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import keras

    keras.utils.set_random_seed(SEED)
    return keras


def conv_bn(x, filters, kernel=3, strides=1, activation="relu6", groups=1):
    layers = _keras().layers
    x = layers.Conv2D(filters, kernel, strides=strides, padding="same", use_bias=False, groups=groups)(x)
    x = layers.BatchNormalization()(x)
    return _activation(x, activation)


def depthwise_bn(x, kernel=3, strides=1, activation="relu6"):
    layers = _keras().layers
    x = layers.DepthwiseConv2D(kernel, strides=strides, padding="same", use_bias=False)(x)
    x = layers.BatchNormalization()(x)
    return _activation(x, activation)


def _activation(x, activation):
    layers = _keras().layers
    if activation is None:
        return x
    if activation == "relu6":
        return layers.ReLU(6.0)(x)
    return layers.Activation(activation)(x)


def squeeze_excite(x, ratio=4, gate="hard_sigmoid", dense=False):
    """Keras' MobileNetV3 / EfficientNet form (1x1 convolutions on the pooled
    tensor), or the older form with dense layers and a reshape."""
    layers = _keras().layers
    channels = x.shape[-1]
    if dense:
        s = layers.GlobalAveragePooling2D()(x)
        s = layers.Dense(max(channels // ratio, 4), activation="relu")(s)
        s = layers.Dense(channels, activation=gate)(s)
        s = layers.Reshape((1, 1, channels))(s)
    else:
        s = layers.GlobalAveragePooling2D(keepdims=True)(x)
        s = layers.Conv2D(max(channels // ratio, 4), 1, activation="relu")(s)
        s = layers.Conv2D(channels, 1, activation=gate)(s)
    return layers.Multiply()([x, s])


def inverted_residual(x, filters, expansion, strides=1, activation="relu6", se=False, kernel=3):
    layers = _keras().layers
    inputs = x
    channels = x.shape[-1]
    if expansion != 1:
        x = conv_bn(x, channels * expansion, 1, activation=activation)
    x = depthwise_bn(x, kernel, strides, activation=activation)
    if se:
        x = squeeze_excite(x, gate="hard_sigmoid" if activation == "hard_swish" else "sigmoid")
    x = conv_bn(x, filters, 1, activation=None)
    if strides == 1 and channels == filters:
        x = layers.Add()([inputs, x])
    return x


def classifier(x, classes=10):
    layers = _keras().layers
    x = layers.GlobalAveragePooling2D()(x)
    return layers.Dense(classes)(x)


def blocks_model():
    """Convolution, depthwise, hard-swish, squeeze-and-excitation (dense
    form), max pool, dense."""
    keras = _keras()
    inputs = keras.Input((32, 32, 3))
    x = conv_bn(inputs, 16, strides=2)
    x = depthwise_bn(x)
    x = conv_bn(x, 24, 1, activation="hard_swish")
    x = squeeze_excite(x, dense=True)
    x = keras.layers.MaxPooling2D(2)(x)
    x = conv_bn(x, 32, activation="relu")
    return keras.Model(inputs, classifier(x), name="blocks")


def segmentation_model():
    """An encoder and decoder: max pool, upsampling (nearest and bilinear),
    concatenation, a leaky ReLU."""
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((32, 32, 3))
    e1 = conv_bn(inputs, 8, activation="relu")
    e2 = conv_bn(layers.MaxPooling2D(2)(e1), 16, activation="relu")
    e3 = conv_bn(layers.MaxPooling2D(2)(e2), 24, activation="relu")
    d2 = layers.Concatenate()([layers.UpSampling2D(2)(e3), e2])
    d2 = conv_bn(d2, 16, activation=None)
    d2 = layers.LeakyReLU(0.1)(d2)
    d1 = layers.Concatenate()([layers.UpSampling2D(2, interpolation="bilinear")(d2), e1])
    d1 = conv_bn(d1, 8, activation="relu")
    outputs = layers.Conv2D(4, 1)(d1)
    return keras.Model(inputs, outputs, name="segmentation")


def mobilenet_v2_model():
    keras = _keras()
    inputs = keras.Input((64, 64, 3))
    x = conv_bn(inputs, 16, strides=2)
    x = inverted_residual(x, 8, 1)
    for filters, strides, repeats in ((16, 2, 2), (24, 2, 2), (32, 2, 2), (48, 1, 1)):
        for i in range(repeats):
            x = inverted_residual(x, filters, 4, strides if i == 0 else 1)
    x = conv_bn(x, 96, 1)
    return keras.Model(inputs, classifier(x), name="mobilenet_v2_like")


def mobilenet_v3_model():
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((64, 64, 3))
    x = layers.Rescaling(1.0 / 127.5, offset=-1.0)(inputs)
    x = conv_bn(x, 16, strides=2, activation="hard_swish")
    x = inverted_residual(x, 16, 1, 2, activation="relu", se=True)
    x = inverted_residual(x, 24, 3, 2, activation="relu")
    x = inverted_residual(x, 24, 3, 1, activation="relu")
    x = inverted_residual(x, 32, 3, 2, activation="hard_swish", se=True, kernel=5)
    x = inverted_residual(x, 32, 3, 1, activation="hard_swish", se=True, kernel=5)
    x = inverted_residual(x, 48, 3, 1, activation="hard_swish", se=True)
    x = conv_bn(x, 96, 1, activation="hard_swish")
    x = layers.GlobalAveragePooling2D(keepdims=True)(x)
    x = layers.Conv2D(128, 1)(x)
    x = layers.Activation("hard_swish")(x)
    x = layers.Conv2D(10, 1)(x)
    x = layers.Flatten()(x)
    x = layers.Softmax()(x)
    return keras.Model(inputs, x, name="mobilenet_v3_like")


def resnet_model():
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((64, 64, 3))
    x = layers.ZeroPadding2D(3)(inputs)
    x = layers.Conv2D(16, 7, strides=2)(x)
    x = layers.BatchNormalization()(x)
    x = layers.ReLU()(x)
    x = layers.ZeroPadding2D(1)(x)
    x = layers.MaxPooling2D(3, strides=2)(x)
    for filters, strides in ((16, 1), (32, 2), (48, 2)):
        shortcut = x
        if strides != 1 or x.shape[-1] != filters * 2:
            shortcut = conv_bn(x, filters * 2, 1, strides, activation=None)
        y = conv_bn(x, filters, 1, strides, activation="relu")
        y = conv_bn(y, filters, 3, activation="relu")
        y = conv_bn(y, filters * 2, 1, activation=None)
        x = layers.ReLU()(layers.Add()([shortcut, y]))
    return keras.Model(inputs, classifier(x), name="resnet_like")


def efficientnet_model():
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((64, 64, 3))
    x = layers.Rescaling(1.0 / 255.0)(inputs)
    x = layers.Normalization(mean=[0.485, 0.456, 0.406], variance=[0.052, 0.05, 0.051])(x)
    x = conv_bn(x, 16, strides=2, activation="swish")
    x = inverted_residual(x, 8, 1, activation="swish", se=True)
    for filters, strides, kernel in ((16, 2, 3), (16, 1, 3), (24, 2, 5), (32, 2, 3), (32, 1, 3), (40, 1, 5)):
        x = inverted_residual(x, filters, 4, strides, activation="swish", se=True, kernel=kernel)
    x = conv_bn(x, 96, 1, activation="swish")
    x = layers.GlobalAveragePooling2D()(x)
    x = layers.Dropout(0.2)(x)
    return keras.Model(inputs, layers.Dense(10, activation="softmax")(x), name="efficientnet_like")


def densenet_model():
    """Dense blocks (concatenations of growing width) with average pooling
    transitions."""
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((32, 32, 3))
    x = conv_bn(inputs, 16, activation="relu")
    for block in range(2):
        for _ in range(3):
            y = conv_bn(x, 16, 1, activation="relu")
            y = conv_bn(y, 8, 3, activation="relu")
            x = layers.Concatenate()([x, y])
        if block == 0:
            x = conv_bn(x, 24, 1, activation="relu")
            x = layers.AveragePooling2D(2)(x)
    return keras.Model(inputs, classifier(x), name="densenet_like")


def inception_model():
    """Branches of different kernels joined by concatenation, with an
    average-pool branch."""
    keras = _keras()
    layers = keras.layers
    inputs = keras.Input((32, 32, 3))
    x = conv_bn(inputs, 16, strides=2, activation="relu")
    for _ in range(2):
        a = conv_bn(x, 8, 1, activation="relu")
        b = conv_bn(conv_bn(x, 8, 1, activation="relu"), 12, 3, activation="relu")
        c = conv_bn(conv_bn(x, 4, 1, activation="relu"), 8, 5, activation="relu")
        d = conv_bn(layers.AveragePooling2D(3, strides=1, padding="same")(x), 8, 1, activation="relu")
        x = layers.Concatenate()([a, b, c, d])
    return keras.Model(inputs, classifier(x), name="inception_like")


TFLITE_MODELS = {
    "keras_blocks": blocks_model,
    "keras_segmentation": segmentation_model,
    "keras_mobilenet_v2": mobilenet_v2_model,
    "keras_mobilenet_v3": mobilenet_v3_model,
    "keras_resnet": resnet_model,
    "keras_efficientnet": efficientnet_model,
    "keras_densenet": densenet_model,
    "keras_inception": inception_model,
}


# Float32 TFLite models (the converter without quantization) for the
# float32 flow, in a directory of their own: the quantized models' tests
# take every model file beside this script.
FLOAT_TFLITE_MODELS = {
    "keras_blocks": blocks_model,
    "keras_efficientnet": efficientnet_model,
    "keras_densenet": densenet_model,
}
FLOAT_DIRECTORY = HERE / "float"


def float_tflite(model):
    import tensorflow as tf

    return tf.lite.TFLiteConverter.from_keras_model(model).convert()


def write_float_models(names):
    FLOAT_DIRECTORY.mkdir(exist_ok=True)
    for name, build in FLOAT_TFLITE_MODELS.items():
        if not names or name in names:
            path = FLOAT_DIRECTORY / f"{name}.tflite"
            path.write_bytes(float_tflite(build()))
            print(f"float/{path.name}: {path.stat().st_size} bytes")


def int8_tflite(model, samples=16):
    """Full-integer post-training quantization with int8 input and output."""
    import tensorflow as tf

    shape = tuple(model.inputs[0].shape[1:])
    rng = np.random.default_rng(SEED)

    def representative():
        for _ in range(samples):
            yield [rng.uniform(0.0, 1.0, size=(1, *shape)).astype("float32")]

    converter = tf.lite.TFLiteConverter.from_keras_model(model)
    converter.optimizations = [tf.lite.Optimize.DEFAULT]
    converter.representative_dataset = representative
    converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8]
    converter.inference_input_type = tf.int8
    converter.inference_output_type = tf.int8
    return converter.convert()


APPLICATIONS = {
    "MobileNetV2": (224, {}),
    "MobileNetV3Small": (224, {}),
    "MobileNetV3Large": (224, {}),
    "ResNet50": (160, {}),
    "EfficientNetB0": (160, {}),
    "DenseNet121": (128, {}),
    "InceptionV3": (160, {}),
    "NASNetMobile": (224, {}),
    "Xception": (160, {}),
}


def write_applications(directory, names):
    keras = _keras()
    directory.mkdir(parents=True, exist_ok=True)
    for name in names or APPLICATIONS:
        size, options = APPLICATIONS[name]
        model = getattr(keras.applications, name)(input_shape=(size, size, 3), weights=None, **options)
        path = directory / f"{name}.tflite"
        path.write_bytes(int8_tflite(model, samples=4))
        print(f"{path}: {path.stat().st_size} bytes")


# ------------------------------------------------------------------ ONNX


def _onnx_graph(name, nodes, inputs, outputs, initializers):
    from onnx import helper

    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    return model


class _OnnxBuilder:
    """Float ONNX graphs, one node per call, weights drawn at random."""

    def __init__(self, name):
        self.name, self.nodes, self.initializers = name, [], []
        self.rng = np.random.default_rng(SEED)
        self.count = 0

    def _name(self, kind):
        self.count += 1
        return f"{kind}_{self.count}"

    def const(self, value, kind="w"):
        from onnx import numpy_helper

        name = self._name(kind)
        self.initializers.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def node(self, op, inputs, **attrs):
        from onnx import helper

        out = self._name(op.lower())
        self.nodes.append(helper.make_node(op, inputs, [out], **attrs))
        return out

    def conv(self, x, cin, cout, kernel=3, stride=1, group=1):
        fan_in = cin // group * kernel * kernel
        w = self.rng.normal(0, np.sqrt(2.0 / fan_in), (cout, cin // group, kernel, kernel)).astype("float32")
        b = self.rng.normal(0, 0.1, cout).astype("float32")
        pad = kernel // 2
        return self.node(
            "Conv",
            [x, self.const(w), self.const(b, "b")],
            kernel_shape=[kernel, kernel],
            strides=[stride, stride],
            pads=[pad] * 4,
            group=group,
        )

    def hard_swish(self, x):
        """x * clip(x + 3, 0, 6) / 6, the form of exporters without a
        HardSwish operator."""
        three, zero, six = (self.const(np.array(v, "float32"), "c") for v in (3.0, 0.0, 6.0))
        clipped = self.node("Clip", [self.node("Add", [x, three]), zero, six])
        return self.node("Div", [self.node("Mul", [x, clipped]), six])

    def model(self, x_name, x_shape, out, out_shape):
        from onnx import TensorProto, helper

        inputs = [helper.make_tensor_value_info(x_name, TensorProto.FLOAT, x_shape)]
        outputs = [helper.make_tensor_value_info(out, TensorProto.FLOAT, out_shape)]
        return _onnx_graph(self.name, self.nodes, inputs, outputs, self.initializers)


def onnx_cnn():
    """ResNet-style: convolutions with ReLU, max pool, residual adds, global
    average pool, Gemm."""
    g = _OnnxBuilder("cnn")
    x = g.node("Relu", [g.conv("input", 3, 16, stride=2)])
    x = g.node("MaxPool", [x], kernel_shape=[2, 2], strides=[2, 2])
    for cin, cout in ((16, 16), (16, 32)):
        y = g.conv(g.node("Relu", [g.conv(x, cin, cout)]), cout, cout)
        shortcut = x if cin == cout else g.conv(x, cin, cout, 1)
        x = g.node("Relu", [g.node("Add", [shortcut, y])])
    x = g.node("Flatten", [g.node("GlobalAveragePool", [x])])
    w = g.rng.normal(0, 0.2, (10, 32)).astype("float32")
    out = g.node("Gemm", [x, g.const(w), g.const(np.zeros(10, "float32"), "b")], transB=1)
    return g.model("input", [1, 3, 32, 32], out, [1, 10])


def onnx_mobilenet_v3():
    """Depthwise convolutions, the decomposed hard-swish, a squeeze-and-
    excitation with HardSigmoid, nearest upsampling and concatenation."""
    g = _OnnxBuilder("mobilenet_v3")
    x = g.hard_swish(g.conv("input", 3, 16, stride=2))
    x = g.node("Relu", [g.conv(x, 16, 16, group=16)])
    x = g.conv(x, 16, 24, 1)
    s = g.node("GlobalAveragePool", [x])
    s = g.node("Relu", [g.conv(s, 24, 8, 1)])
    s = g.node("HardSigmoid", [g.conv(s, 8, 24, 1)], alpha=1.0 / 6.0, beta=0.5)
    x = g.node("Mul", [x, s])
    x = g.hard_swish(g.conv(x, 24, 32, stride=2))
    x = g.hard_swish(g.conv(x, 32, 32, group=32))
    small = g.conv(g.node("MaxPool", [x], kernel_shape=[2, 2], strides=[2, 2]), 32, 16, 1)
    scales = g.const(np.array([1, 1, 2, 2], "float32"), "s")
    up = g.node(
        "Resize", [small, "", scales], mode="nearest", coordinate_transformation_mode="asymmetric", nearest_mode="floor"
    )
    x = g.node("Relu", [g.conv(g.node("Concat", [up, x], axis=1), 48, 32)])
    return g.model("input", [1, 3, 32, 32], x, [1, 32, 8, 8])


def onnx_text_recognition():
    """CRNN-style: a convolutional feature extractor whose columns become a
    sequence, then MatMul layers along it."""
    g = _OnnxBuilder("text_recognition")
    x = g.node("Relu", [g.conv("input", 1, 16)])
    x = g.node("MaxPool", [x], kernel_shape=[2, 2], strides=[2, 2])
    x = g.node("Relu", [g.conv(x, 16, 32)])
    x = g.node("MaxPool", [x], kernel_shape=[2, 2], strides=[2, 2])
    x = g.node("Relu", [g.conv(x, 32, 32)])
    x = g.node("MaxPool", [x], kernel_shape=[4, 1], strides=[4, 1])  # height 4 -> 1
    x = g.node("Squeeze", [x, g.const(np.array([2], "int64"), "axes")])  # (1, 32, 32): channels, width
    x = g.node("Transpose", [x], perm=[0, 2, 1])  # (1, 32 steps, 32 features)
    w1 = g.rng.normal(0, 0.2, (32, 48)).astype("float32")
    x = g.node("Relu", [g.node("Add", [g.node("MatMul", [x, g.const(w1)]), g.const(np.zeros(48, "float32"), "b")])])
    w2 = g.rng.normal(0, 0.2, (48, 40)).astype("float32")
    x = g.node("Add", [g.node("MatMul", [x, g.const(w2)]), g.const(g.rng.normal(0, 0.1, 40).astype("float32"), "b")])
    return g.model("input", [1, 1, 16, 128], g.node("Softmax", [x], axis=2), [1, 32, 40])


ONNX_MODELS = {
    "qdq_cnn": onnx_cnn,
    "qdq_mobilenet_v3": onnx_mobilenet_v3,
    "qdq_text_recognition": onnx_text_recognition,
}


def qdq_onnx(float_model, path, samples=16):
    import onnx
    from onnxruntime.quantization import CalibrationDataReader, QuantFormat, QuantType, quantize_static

    onnx.checker.check_model(float_model)
    shape = [d.dim_value for d in float_model.graph.input[0].type.tensor_type.shape.dim]
    name = float_model.graph.input[0].name
    rng = np.random.default_rng(SEED)

    class RandomReader(CalibrationDataReader):
        def __init__(self):
            self.left = samples

        def get_next(self):
            if not self.left:
                return None
            self.left -= 1
            return {name: rng.uniform(0.0, 1.0, size=shape).astype("float32")}

    float_path = path.with_suffix(".float.onnx")
    onnx.save(float_model, float_path)
    try:
        quantize_static(
            str(float_path),
            str(path),
            RandomReader(),
            quant_format=QuantFormat.QDQ,
            activation_type=QuantType.QUInt8,
            weight_type=QuantType.QInt8,
        )
    finally:
        float_path.unlink()


def reference_input(shape, dtype):
    """A fixed input that covers the whole int8 range (the same in the
    tests, without a random generator whose streams may change)."""
    size = int(np.prod(shape))
    return ((np.arange(size) * 37 + size // 3) % 256 - 128).astype(dtype).reshape(shape)


def write_references(names):
    """What TensorFlow's interpreter computes from `reference_input` for
    each TFLite model, for checking the import."""
    import tensorflow as tf

    arrays = {}
    for name in names:
        interpreter = tf.lite.Interpreter(model_path=str(HERE / f"{name}.tflite"))
        interpreter.allocate_tensors()
        (given,), (result,) = interpreter.get_input_details(), interpreter.get_output_details()
        interpreter.set_tensor(given["index"], reference_input(given["shape"], given["dtype"]))
        interpreter.invoke()
        arrays[name] = interpreter.get_tensor(result["index"])
    np.savez_compressed(HERE / REFERENCES, **arrays)
    print(f"{REFERENCES}: {(HERE / REFERENCES).stat().st_size} bytes")


REFERENCES = "tflite_reference_outputs.npz"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="models to write (default: all)")
    parser.add_argument("--references", action="store_true", help="only write the TFLite reference outputs")
    parser.add_argument("--applications", type=Path, metavar="DIR", help="write full-size Keras applications here")
    parser.add_argument("--float", action="store_true", help="only write the float32 TFLite models (float/)")
    args = parser.parse_args()
    if args.applications:
        write_applications(args.applications, args.names)
        return 0
    if args.float:
        write_float_models(args.names)
        return 0
    if args.references:
        write_references([name for name in TFLITE_MODELS if (HERE / f"{name}.tflite").exists()])
        return 0
    unknown = set(args.names) - set(TFLITE_MODELS) - set(ONNX_MODELS)
    if unknown:
        sys.exit(f"unknown models: {', '.join(sorted(unknown))}")
    for name, build in TFLITE_MODELS.items():
        if not args.names or name in args.names:
            path = HERE / f"{name}.tflite"
            path.write_bytes(int8_tflite(build()))
            print(f"{path.name}: {path.stat().st_size} bytes")
    write_references([name for name in TFLITE_MODELS if (HERE / f"{name}.tflite").exists()])
    for name, build in ONNX_MODELS.items():
        if not args.names or name in args.names:
            path = HERE / f"{name}.onnx"
            qdq_onnx(build(), path)
            print(f"{path.name}: {path.stat().st_size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
