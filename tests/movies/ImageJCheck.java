// Opens a TIFF with ImageJ's own reader, without a display, and prints what ImageJ sees:
// "slices=N width=W height=H bits=B", then one line per slice with its pixel values.
import ij.ImagePlus;
import ij.ImageStack;
import ij.io.Opener;
import ij.process.ImageProcessor;

public class ImageJCheck {
    public static void main(String[] args) {
        ImagePlus image = new Opener().openImage(args[0]);
        if (image == null) {
            System.err.println("ImageJ cannot open " + args[0]);
            System.exit(1);
        }
        System.out.println("slices=" + image.getStackSize() + " width=" + image.getWidth()
                + " height=" + image.getHeight() + " bits=" + image.getBitDepth());
        ImageStack stack = image.getStack();
        for (int k = 1; k <= stack.getSize(); ++k) {
            ImageProcessor slice = stack.getProcessor(k);
            StringBuilder line = new StringBuilder();
            for (int y = 0; y < image.getHeight(); ++y) {
                for (int x = 0; x < image.getWidth(); ++x) {
                    line.append(slice.get(x, y)).append(' ');
                }
            }
            System.out.println(line.toString().trim());
        }
    }
}
